#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "zelkorversion.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr,
        const ZelkorVersion::Options& options = ZelkorVersion::Options());
    ~MainWindow() override;

    // 1: nothing to update; 0: the worker ended the wait; -1: the user pressed a button.
    int getEndReason() const { return endReason; }
    // True when nothing was to be updated or the update finished.
    bool getUpdateOk() const { return updateOk; }
    bool writeVersion();
    void writeLog(const QString& message);

signals:
    void upDateEnd();
    void toClose();

public slots:
    void checkUpdateListEnd(int type);
    void slotupdateEnd(bool ok);
    void slotUpdateProcess(int i);
    void appendText(QString);
    void setLableText(QString text, int which);

private slots:
    void on_pushButton_clicked();
    void on_pushButton_close_clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    QElapsedTimer painted; // since the last repaint
    bool repaintDue = false;
    void stopUpdate();

    bool updateOk = false;
    int endReason = 0;
    Ui::MainWindow* ui;
    ZelkorVersion worker;
};

#endif // MAINWINDOW_H
