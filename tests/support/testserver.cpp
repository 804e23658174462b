// testserver --root DIR [--port N]
//
// Serves the files below DIR on 127.0.0.1 until killed, and prints
// "listening on http://127.0.0.1:PORT" once ready. SIGTERM and SIGINT end it
// cleanly.

#include "httpserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Nothing useful to do if it fails inside a signal handler.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

bool quitOnSignals(QCoreApplication *app)
{
    if (::pipe(signalPipe) != 0)
        return false;
    auto notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}
} // namespace
#endif

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Loopback HTTP server for tests"));
    parser.addHelpOption();
    const QCommandLineOption rootOption(QStringLiteral("root"), QStringLiteral("Folder to serve."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port, 0 for any free one."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({rootOption, portOption});
    parser.process(app);

    QTextStream err(stderr);
    if (!parser.isSet(rootOption)) {
        err << "testserver: --root DIR is required\n";
        return 2;
    }
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        err << "testserver: bad port " << parser.value(portOption) << '\n';
        return 2;
    }

    TestHttpServer server;
    server.setRoot(parser.value(rootOption));

    err.flush();

#ifdef Q_OS_UNIX
    if (!quitOnSignals(&app))
        std::fprintf(stderr, "testserver: cannot catch signals; it will end when killed\n");
#endif

    if (!server.listen(quint16(port))) {
        std::fprintf(stderr, "testserver: cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::printf("listening on %s\n", qPrintable(server.baseUrl()));
    std::fflush(stdout);
    return app.exec();
}
