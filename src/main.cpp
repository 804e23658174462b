#include "getUrl.h"
#include "mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QEventLoop>
#include <QProcess>
#include <QStringList>

int main(int argc, char *argv[])
{
    qDebug() << "main";
    QApplication app(argc, argv);
    QEventLoop loop;
    MainWindow window;
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
    // Qt has taken its own options out; exactly one argument is handed on.
    QStringList arguments;
    const QStringList given = QCoreApplication::arguments();
    if (given.size() == 2)
        arguments << given.at(1);

    QProcess product;
    window.close();
    const QString program =
        findProgram(QStringLiteral("Tavrix.exe"), QCoreApplication::applicationDirPath());
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
