// Times CertificateGenerator::generate: "benchgenerate [N]" (default 10) in a
// temporary HOME; prints each run and the median in milliseconds.
#include "certificategenerator.h"
#include "logger.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    Logger::installMessageHandler();
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    const int runs = std::max(1, app.arguments().value(1, "10").toInt());

    CertificateGenerator generator(&app);
    std::vector<double> durations;
    for (int i = 0; i < runs; ++i) {
        generator.remove();
        QElapsedTimer timer;
        timer.start();
        generator.generate();
        durations.push_back(timer.nsecsElapsed() / 1e6);
        printf("run %d: %.1f ms\n", i + 1, durations.back());
    }
    if (!generator.check()) {
        fprintf(stderr, "certificate set incomplete\n");
        return 1;
    }
    std::sort(durations.begin(), durations.end());
    const size_t n = durations.size();
    const double median = n % 2 ? durations[n / 2] : (durations[n / 2 - 1] + durations[n / 2]) / 2;
    printf("median of %zu runs: %.1f ms\n", n, median);
    return 0;
}
