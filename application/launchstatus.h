#ifndef LAUNCHSTATUS_H
#define LAUNCHSTATUS_H

// The code of a launch's result, as the asking page reads it in
// kavrel.launchStatus; every refusal carries one of the negative ones.
namespace LaunchStatus {

enum Code {
    Started = 0,
    // The request is not served as asked: an address or option no
    // application has, or a session that has its application already.
    Refused = -200,
    // The application could not be started, or no more may run at once.
    FailedToStart = -201,
    // Any other error of the application's process.
    ProcessError = -202,
    // The user's policy forbids the application.
    Forbidden = -203,
};

} // namespace LaunchStatus

#endif // LAUNCHSTATUS_H
