#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// The pictures are compiled into this static library, whose own resource
// initialiser the linker would drop: register them before main() runs.
static void registerImages()
{
    Q_INIT_RESOURCE(images);
}
Q_CONSTRUCTOR_FUNCTION(registerImages)

MainWindow::MainWindow(QWidget* parent, const ZelkorVersion::Options& options)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , worker(nullptr, options)
{
    ui->setupUi(this);
    ui->frame->show();
    ui->pushButton_close->hide();
    qDebug() << "MainWindow::MainWindow";

    connect(&worker, &ZelkorVersion::sigMsgInfoCheck, this, &MainWindow::checkUpdateListEnd);
    connect(&worker, &ZelkorVersion::sigMsgUpdateEnd, this, &MainWindow::slotupdateEnd);
    connect(&worker, &ZelkorVersion::sigMsgInfoError, this, &MainWindow::appendText);
    connect(&worker, &ZelkorVersion::sigUpdateProcess, this, &MainWindow::slotUpdateProcess);
    connect(&worker, &ZelkorVersion::sigSetText, this, &MainWindow::setLableText);
    // A wait before the check shows why, in place, before it blocks.
    connect(&worker, &ZelkorVersion::sigMsgWaiting, this, [this](const QString& why) {
        ui->label_left->setText(why);
        show();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    setWindowFlags(Qt::SplashScreen | Qt::WindowStaysOnTopHint);
    setWindowModality(Qt::ApplicationModal);
    if (const QScreen* screen = QGuiApplication::screens().value(0)) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
    }

    // The wait for another updater runs the event loop: the window can be closed in it, and that
    // ends the run unchecked.
    worker.init();
    if (endReason != -1)
        worker.doCheckVersion();
    qDebug() << "MainWindow::MainWindow end";
}

MainWindow::~MainWindow()
{
    delete ui;
}

bool MainWindow::writeVersion()
{
    return worker.writeVersion();
}

void MainWindow::writeLog(const QString& message)
{
    worker.writeLog(message);
}

void MainWindow::checkUpdateListEnd(int type)
{
    qDebug() << " MainWindow::checkUpdateListEnd(int type)";
    if (type == 0) {
        updateOk = true;
        endReason = 1;
        emit upDateEnd();
    } else if (type == 1 || type == 2) {
        show();
        worker.doBeginUpdate();
    }
}

void MainWindow::slotupdateEnd(bool ok)
{
    qDebug() << "MainWindow::slotupdateEnd " << ok;
    updateOk = ok;
    emit toClose();
    if (!ok) {
        close();
        setLableText(QStringLiteral("更新超时，请重试!!!"), 0);
        ui->pushButton_close->show();
        ui->pushButton_close->setEnabled(true);
    }
}

void MainWindow::slotUpdateProcess(int i)
{
    ui->progressBar->setValue(i);
}

void MainWindow::appendText(QString) { }

bool MainWindow::event(QEvent* event)
{
    // A repaint at most every 40 ms: thousands of small files change the texts far faster than a
    // screen shows them, and each repaint draws the whole window.
    if (event->type() != QEvent::UpdateRequest)
        return QMainWindow::event(event);
    if (painted.isValid() && painted.elapsed() < 40) {
        if (!repaintDue) {
            repaintDue = true;
            QTimer::singleShot(40 - int(painted.elapsed()), this, [this] {
                repaintDue = false;
                QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest));
            });
        }
        return true;
    }
    painted.start();
    return QMainWindow::event(event);
}

void MainWindow::setLableText(QString text, int which)
{
    if (which == 0) {
        ui->label_left->clear();
        ui->label_left->setText(text);
    } else if (which == 1) {
        ui->label_right->clear();
        ui->label_right->setText(text);
    }
}

void MainWindow::on_pushButton_clicked()
{
    stopUpdate();
}

void MainWindow::on_pushButton_close_clicked()
{
    stopUpdate();
}

void MainWindow::stopUpdate()
{
    endReason = -1;
    worker.requestAbort();
    close();
    emit toClose();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Alt+F4, the window manager or the session ending: the run must end as
    // it does for the buttons, or nothing is left to end it.
    if (event->spontaneous())
        stopUpdate();
    QMainWindow::closeEvent(event);
}

void MainWindow::mousePressEvent(QMouseEvent* event)
{
    // The window has no frame: a press anywhere but on the buttons moves it.
#ifdef Q_OS_WIN
    if (ReleaseCapture())
        SendMessageW(reinterpret_cast<HWND>(winId()), WM_SYSCOMMAND, 0xF012, 0);
#else
    if (QWindow* handle = windowHandle())
        handle->startSystemMove();
#endif
    event->ignore();
}
