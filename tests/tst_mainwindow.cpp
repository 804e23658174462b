// The window around real checks and updates against the loopback server:
// what it shows when, and what its buttons do.

#include "mainwindow.h"
#include "proxysetting.h"
#include "testsupport.h"
#include "updatelock.h"

#include <QtWidgets>

struct Run
{
    QString list; // the update list's entries
    QString held; // answers below this path come late, and the close button is pressed meanwhile
    QString after; // what the window shows and said at the end, a pattern
    // The same once it is shown again and its exit button is pressed; empty: not pressed.
    QString pressExit = {};
    bool closedBySystem = false; // closed as Alt+F4 or the window manager does, not by the button
    int slowCheckPassMs = 0; // the worker dwells on the check command, and the update begins
    bool throughProxy = false; // the server's name only the proxy that http_proxy names resolves
    bool lockHeld = false; // another updater holds the lock, and the window is closed as it waits
};
Q_DECLARE_METATYPE(Run)

template <typename T = QWidget> static T* part(MainWindow& w, const char* name)
{
    return w.findChild<T*>(name);
}

// What the window shows and has said, as "name=value" items.
static QString state(MainWindow& w, const QSignalSpy& upDateEnd, const QSignalSpy& toClose)
{
    QString s = QString::asprintf("ok=%d reason=%d shown=%d exit=%d bar=%d upDateEnd=%d toClose=%d",
        w.getUpdateOk(), w.getEndReason(), w.isVisible(),
        part(w, "pushButton_close")->isVisibleTo(&w), part<QProgressBar>(w, "progressBar")->value(),
        upDateEnd.count(), toClose.count());
    for (const QLabel* label : w.findChildren<QLabel*>())
        s += ' ' + label->objectName() + '=' + label->text();
    return s;
}

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void run_data()
    {
        QTest::addColumn<Run>("row");
        const QString labels = " label_2= 总体进度： label=正在下载：",
                      failed = " label_left=更新超时，请重试!!! label_right=\\S*" + labels,
                      two = R"({"version":"1.1.0"},{"version":"1.2.0"})",
                      enforced = R"({"version":"1.1.0","updateType":1},{"version":"1.2.0"})",
                      closed = "ok=0 reason=-1 shown=0 exit=1 bar=\\d+ upDateEnd=0 toClose=2";
        // Percentages are cut, not rounded; the file names and counts show as they come.
        const QString updated = "ok=1 reason=0 shown=1 exit=0 bar=66 upDateEnd=0 toClose=1 "
                                "label_left=[abc].txt label_right=\\(2/3\\)"
            + labels;
        const auto row = [](const char* name, const Run& run) { QTest::newRow(name) << run; };
        row("nothing_to_update",
            {R"({"version":"1.0.0","updateType":1})", "",
                "ok=1 reason=1 shown=0 exit=0 bar=0 upDateEnd=1 toClose=0 "
                "label_left=正在准备中... label_right="
                    + labels});
        row("enforced_update_of_three_files", {enforced, "", updated});
        row("failed_then_exit",
            {R"({"version":"1.3.0"})", "",
                "ok=0 reason=0 shown=0 exit=1 bar=0 upDateEnd=0 toClose=1" + failed,
                "ok=0 reason=-1 shown=0 exit=1 bar=0 upDateEnd=0 toClose=2" + failed});
        row("closed_while_a_manifest_comes", {two, "/packages/version/", closed + failed});
        row("closed_while_the_last_file_comes", {two, "/packages/bin/c", closed + failed});
        row("closed_by_the_system_while_a_file_comes",
            {two, "/packages/bin/", closed + failed, {}, true});
        row("update_begun_while_the_check_is_taken", {enforced, "", updated, {}, false, 1500});
        row("update_through_the_system_proxy", {enforced, "", updated, {}, false, 0, true});
        row("closed_while_another_updater_holds_the_lock",
            {two, "",
                "ok=0 reason=-1 shown=0 exit=0 bar=0 upDateEnd=0 toClose=0 "
                "label_left=等待另一个更新程序完成更新 label_right="
                    + labels,
                {}, false, 0, false, true});
    }

    void run()
    {
        QFETCH(Run, row);
        TestSupport::WorkDir dir;
        QVERIFY(TestSupport::install(dir.path(), UPDATER_E2E_BIN_DIR, "1.0.0"));
        HttpServer server;
        const QMap<QString, QByteArray> routes {
            {"/packages/update.json", "{\"updateList\":[" + row.list.toUtf8() + "]}"},
            {"/packages/version/1.1.0.json", R"({"value":["a.txt","b.txt"]})"},
            {"/packages/version/1.2.0.json", R"({"value":["c.txt"]})"},
            {"/packages/bin/a.txt", "new a"}, {"/packages/bin/b.txt", "new b"},
            {"/packages/bin/c.txt", "new c"}};
        for (auto it = routes.cbegin(); it != routes.cend(); ++it) {
            Reply reply(200, it.value());
            reply.delayMs = !row.held.isEmpty() && it.key().startsWith(row.held) ? 2000 : 0;
            server.route(it.key(), reply);
        }
        // The fetch tool and the worker's own requests both go through it.
        const QString proxied
            = QString(server.url()).replace("127.0.0.1", "tavrix-updates.invalid");
        std::unique_ptr<SystemProxy> proxy;
        if (row.throughProxy)
            proxy = std::make_unique<SystemProxy>(QUrl(server.url()).authority().toUtf8());
        ZelkorVersion::Options options {
            row.throughProxy ? proxied : server.url(), dir.path(), 0, {}};
        if (row.slowCheckPassMs)
            options.onCommand = [&](int command) {
                if (command == ZelkorVersion::CheckRequested)
                    QThread::msleep(row.slowCheckPassMs);
            };
        // The window, shown as it waits, still takes events: it is closed from one.
        UpdateLock other(dir.path() + "/updateStaging.lock");
        QVERIFY(!row.lockHeld || other.tryLock() == UpdateLock::Locked);
        if (row.lockHeld)
            QTimer::singleShot(500, [] {
                QWidget* shown = QApplication::activeModalWidget();
                QVERIFY(shown && shown->isVisible());
                shown->windowHandle()->close();
            });
        MainWindow window(nullptr, options);
        QSignalSpy upDateEnd(&window, &MainWindow::upDateEnd),
            toClose(&window, &MainWindow::toClose);
        QSignalSpy bar(part<QProgressBar>(window, "progressBar"), &QProgressBar::valueChanged);
        const auto now = [&] { return state(window, upDateEnd, toClose); };
        const auto shows = [&](const QString& pattern) {
            return QRegularExpression(QRegularExpression::anchoredPattern(pattern))
                .match(now())
                .hasMatch();
        };
        // It starts hidden, unframed, on top of all, centred.
        const QRect area = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(QRect(window.pos(), window.size()),
            QRect(area.x() + (area.width() - 416) / 2, area.y() + (area.height() - 249) / 2, 416,
                249));
        QCOMPARE(window.windowFlags() & (Qt::WindowType_Mask | Qt::WindowStaysOnTopHint),
            Qt::SplashScreen | Qt::WindowStaysOnTopHint);
        QVERIFY(window.windowModality() == Qt::ApplicationModal
            && window.windowTitle() == "更新检测" && !QImage(":/images/aaa.jpg").isNull()
            && !QImage(":/images/closeBtn.png").isNull()
            && !QImage(":/images/closeBtn_hover.png").isNull());
        if (!row.lockHeld)
            QCOMPARE(now(),
                "ok=0 reason=0 shown=0 exit=0 bar=0 upDateEnd=0 toClose=0 label_left=正在准备中... "
                "label_right= label_2= 总体进度： label=正在下载：");
        int asked = row.lockHeld ? 0 : -1;
        if (!row.held.isEmpty()) {
            // Files are asked for all at once, a manifest alone: each request made before the
            // close has come.
            const int made = row.held.startsWith("/packages/bin/") ? 3 : 1;
            QTRY_VERIFY_WITH_TIMEOUT(server.requests().filter(row.held.left(14)).size() >= made
                    && !server.requests().filter(row.held).isEmpty(),
                30000);
            QVERIFY(window.isVisible());
            // The frameless window is dragged by the system: a press goes on to it.
            QMouseEvent press(QEvent::MouseButtonPress, {5, 5}, window.mapToGlobal(QPoint(25, 175)),
                Qt::LeftButton, Qt::LeftButton, {});
            QApplication::sendEvent(part(window, "label_left"), &press);
            QVERIFY(!press.isAccepted() && window.isVisible());
            if (row.closedBySystem)
                window.windowHandle()->close();
            else
                QTest::mouseClick(part(window, "pushButton"), Qt::LeftButton);
            asked = server.requests().size();
        }
        // Closed, the worker drops the request under way and reports.
        QTRY_VERIFY2_WITH_TIMEOUT(shows(row.after), qPrintable(now()), 30000);
        if (!row.pressExit.isEmpty()) {
            window.show();
            QTest::mouseClick(part(window, "pushButton_close"), Qt::LeftButton);
            QVERIFY2(shows(row.pressExit), qPrintable(now()));
        }
        // Nothing is asked for after a close; every file is new, or none.
        QStringList requests = server.requests();
        if (row.throughProxy)
            QVERIFY(!requests.isEmpty() && requests.size() == requests.filter(proxied).size());
        requests.replaceInStrings(proxied, "");
        QVERIFY(asked < 0 || requests.size() == asked);
        for (const QString file :
            {"/packages/bin/a.txt", "/packages/bin/b.txt", "/packages/bin/c.txt"})
            QCOMPARE(TestSupport::readAll(file.mid(14)),
                window.getUpdateOk() && requests.contains(file) ? routes.value(file)
                                                                : QByteArray());
        const QStringList logged = TestSupport::logMessages(".");
        QCOMPARE(logged.contains("开始更新"),
            !requests.filter(QRegularExpression("^/packages/(version|bin)/")).isEmpty());
        QCOMPARE(logged.contains("等待其他更新程序时窗口被关闭"), row.lockHeld);
        QCOMPARE(logged.contains("版本检测"), !row.lockHeld);
        if (window.getUpdateOk() && window.getEndReason() == 0)
            QCOMPARE(QList<QVariantList>(bar), (QList<QVariantList> {{33}, {66}}));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
