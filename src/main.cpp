#include "getUrl.h"
#include "mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QEventLoop>
#include <QProcess>
#include <QStringList>

int main(int argc, char* argv[])
{
    qDebug() << "main";
    // Qt takes its own options out of argc and argv; the hand-over rule is
    // about what the updater was given.
    const bool oneArgument = argc == 2;
    const QByteArray givenArgument = oneArgument ? QByteArray(argv[1]) : QByteArray();
    QApplication app(argc, argv);
    // Every loop of the run ends through the window's signals or the product's end.
    app.setQuitOnLastWindowClosed(false);
    QEventLoop loop;
    MainWindow window;
    // Closed while another updater held the lock: that one starts the product when it ends.
    if (window.getEndReason() == -1)
        return 0;
    QObject::connect(&window, &MainWindow::upDateEnd, &loop, &QEventLoop::quit);
    QObject::connect(&window, &MainWindow::toClose, &app, &QApplication::quit);
    loop.exec();

    if (window.getEndReason() == 1)
        window.hide();
    else if (window.getEndReason() == 0)
        window.show();

    if (!window.getUpdateOk()) {
        qDebug() << "exit";
        app.exec();
        return 0;
    }

    if (!window.writeVersion()) {
        window.appendText(QStringLiteral("更新失败，失败原因写入版本信息错误"));
        qDebug() << "write version failed!";
        qDebug() << "exec";
        app.exec();
        return 0;
    }

    window.appendText(QStringLiteral("更新成功"));
    qDebug() << "write version successed!";
    QStringList arguments;
    if (oneArgument) {
        // Qt's own decoding where it kept the argument (Unicode on Windows).
        const QStringList left = QCoreApplication::arguments();
        arguments << (left.size() == 2 ? left.at(1) : QString::fromLocal8Bit(givenArgument));
    }

    QProcess product;
    window.close();
    const QString program
        = findProgram(QStringLiteral("Tavrix.exe"), QCoreApplication::applicationDirPath());
    // Queued: on some platforms a failed start is reported inside start().
    QObject::connect(
        &product, &QProcess::errorOccurred, &app,
        [&](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            window.writeLog(QStringLiteral("启动程序失败:") + program + QLatin1Char(' ')
                + product.errorString());
            qDebug() << "cannot start" << program << product.errorString();
            app.exit(1);
        },
        Qt::QueuedConnection);
    QObject::connect(&product, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &app,
        &QApplication::quit);
    // The product's output goes where ours goes instead of piling up in this resident process.
    product.setProcessChannelMode(QProcess::ForwardedChannels);
    product.start(program, arguments, QIODevice::ReadWrite);
    return app.exec();
}
