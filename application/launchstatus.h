#ifndef LAUNCHSTATUS_H
#define LAUNCHSTATUS_H

#include <QString>

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

// The "cause" of every status the agent sends: one stable name where a code
// covers several reasons that only the Slovak text tells apart.
namespace Cause {
const char *const BadUrl = "bad-url";
const char *const BadOption = "bad-option";
const char *const SessionBusy = "session-busy";
const char *const TooManyApps = "too-many-apps";
const char *const NoDescriptors = "no-descriptors";
const char *const FailedToStart = "failed-to-start";
const char *const Crashed = "crashed";
const char *const ProcessError = "process-error";
const char *const Forbidden = "forbidden";
// The outcomes a page asked to hear.
const char *const ProcessStarted = "started";
const char *const Joined = "joined";
const char *const Exited = "exited";
} // namespace Cause

} // namespace LaunchStatus

// What came of a launch request: (Started, empty) when the start was issued.
struct LaunchResult
{
    int code = LaunchStatus::Started;
    QString message;
    QString cause;

    bool started() const { return code == LaunchStatus::Started; }
};

#endif // LAUNCHSTATUS_H
