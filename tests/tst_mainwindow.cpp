// The window: what it shows when, what its slots and buttons do, and real
// updates inside it against the loopback server, closed part-way or not.

#include "httpserver.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>

using Step = std::function<void(MainWindow &)>;
Q_DECLARE_METATYPE(Step)

template<typename T = QWidget>
static T *part(MainWindow &w, const char *name)
{
    return w.findChild<T *>(name);
}

// Everything the slots may change, as "name=value" items.
static QStringList state(MainWindow &w, const QSignalSpy &upDateEnd, const QSignalSpy &toClose)
{
    QStringList s = QString("ok=%1 reason=%2 shown=%3 exit=%4 bar=%5 upDateEnd=%6 toClose=%7 begun=%8")
                        .arg(w.getUpdateOk()).arg(w.getEndReason()).arg(w.isVisible()).arg(part(w, "pushButton_close")->isVisibleTo(&w))
                        .arg(part<QProgressBar>(w, "progressBar")->value()).arg(upDateEnd.count()).arg(toClose.count())
                        .arg(TestSupport::logMessages(".").count("开始更新")).split(' ');
    for (const QLabel *label : w.findChildren<QLabel *>())
        s << label->objectName() + '=' + label->text();
    return s;
}

static void showExposed(MainWindow &w)
{
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
}

class TestMainWindow : public QObject
{
    Q_OBJECT

    // Without a fetch tool the check fails on the next turn of the event loop.
    const ZelkorVersion::Options noTool{"http://127.0.0.1:9", ".", 0};

private slots:
    void initTestCase() { QVERIFY2(QStandardPaths::findExecutable("updateCurl.exe").isEmpty(), "one on PATH would answer"); }

    // Each row names what its step changes; everything else must stay as it was.
    void effects_data()
    {
        QTest::addColumn<bool>("settled"); // after the worker reported the failed check
        QTest::addColumn<Step>("step");
        QTest::addColumn<QString>("changes");
        const auto check = [](int type) { return [type](MainWindow &w) { w.checkUpdateListEnd(type); }; };
        const auto text = [](int which) { return [which](MainWindow &w) { w.setLableText("bin/核心.dll", which); }; };
        const auto click = [](const char *button) {
            return [button](MainWindow &w) {
                w.checkUpdateListEnd(0); // so that ok staying 1 means something
                showExposed(w);
                QTest::mouseClick(part(w, button), Qt::LeftButton);
            };
        };
        QTest::newRow("nothing_to_update") << true << Step(check(0)) << "ok=1 reason=1 upDateEnd=1";
        QTest::newRow("update_found") << true << Step(check(1)) << "shown=1 begun=1";
        QTest::newRow("enforced_update_found") << true << Step(check(2)) << "shown=1 begun=1";
        QTest::newRow("unknown_check_result") << true << Step(check(3)) << "";
        QTest::newRow("update_done") << false << Step([](MainWindow &w) { w.slotupdateEnd(true); }) << "ok=1 toClose=1";
        QTest::newRow("update_failed") << false << Step([](MainWindow &w) { w.show(), w.slotupdateEnd(false); })
                                       << "toClose=1 exit=1 label_left=更新超时，请重试!!!";
        QTest::newRow("file_name") << false << Step(text(0)) << "label_left=bin/核心.dll";
        QTest::newRow("file_count") << false << Step(text(1)) << "label_right=bin/核心.dll";
        QTest::newRow("unknown_label") << false << Step(text(2)) << "";
        QTest::newRow("progress") << false << Step([](MainWindow &w) { w.slotUpdateProcess(57); }) << "bar=57";
        QTest::newRow("append_text_shows_nothing") << false << Step([](MainWindow &w) { w.appendText("更新失败"); }) << "";
        QTest::newRow("close_button") << true << Step(click("pushButton")) << "ok=1 reason=-1 upDateEnd=1 toClose=1";
        QTest::newRow("exit_button") << true << Step(click("pushButton_close")) << "ok=1 reason=-1 upDateEnd=1 toClose=1";
        // The frameless window is dragged by the system: the press goes on to it.
        QTest::newRow("press_to_drag") << true << Step([](MainWindow &w) {
            showExposed(w);
            QMouseEvent press(QEvent::MouseButtonPress, {5, 5}, w.mapToGlobal(QPoint(25, 175)), Qt::LeftButton, Qt::LeftButton, {});
            QApplication::sendEvent(part(w, "label_left"), &press);
            QVERIFY(!press.isAccepted());
        }) << "shown=1";
    }

    void effects()
    {
        QFETCH(bool, settled);
        QFETCH(Step, step);
        QFETCH(QString, changes);
        TestSupport::WorkDir dir;
        MainWindow window(nullptr, noTool);
        QSignalSpy upDateEnd(&window, &MainWindow::upDateEnd);
        QSignalSpy toClose(&window, &MainWindow::toClose);
        // It starts hidden, framed by nothing, on top of all, centred.
        const QRect area = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(QRect(window.pos(), window.size()), QRect(area.x() + (area.width() - 416) / 2, area.y() + (area.height() - 249) / 2, 416, 249));
        QCOMPARE(window.windowFlags() & (Qt::WindowType_Mask | Qt::WindowStaysOnTopHint), Qt::SplashScreen | Qt::WindowStaysOnTopHint);
        QVERIFY(window.windowModality() == Qt::ApplicationModal && window.windowTitle() == "更新检测" && !QImage(":/images/aaa.jpg").isNull()
                && !QImage(":/images/closeBtn.png").isNull() && !QImage(":/images/closeBtn_hover.png").isNull());
        QVERIFY(!settled || toClose.wait(30000));
        toClose.clear();
        QCOMPARE(state(window, upDateEnd, toClose).join(' '), QString("ok=0 reason=0 shown=0 exit=%1 bar=0 upDateEnd=0 toClose=0 "
                 "begun=0 label_left=%2 label_right= label_2= 总体进度： label=正在下载：").arg(settled).arg(settled ? "更新超时，请重试!!!" : "正在准备中..."));
        QStringList expected = state(window, upDateEnd, toClose);
        for (const QString &change : changes.split(' ', Qt::SkipEmptyParts))
            expected.replaceInStrings(QRegularExpression("^" + change.section('=', 0, 0) + "=.*"), change);
        step(window);
        QCOMPARE(state(window, upDateEnd, toClose).join(' '), expected.join(' '));
    }

    void update_data()
    {
        QTest::addColumn<QString>("held"); // answers below it come late, and the close button is pressed meanwhile
        QTest::addColumn<int>("fetched");
        QTest::newRow("three_files") << QString() << 3;
        QTest::newRow("closed_while_a_manifest_comes") << "/packages/version/" << 0;
        QTest::newRow("closed_while_a_file_comes") << "/packages/bin/" << 1;
    }

    void update()
    {
        QFETCH(QString, held);
        QFETCH(int, fetched);
        TestSupport::WorkDir dir;
        QVERIFY(QFile::copy(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe", "updateCurl.exe"));
        HttpServer server;
        const QMap<QString, QByteArray> routes{{"/packages/update.json", R"({"updateList":[{"version":"1.1.0"},{"version":"1.2.0"}]})"},
            {"/packages/version/1.1.0.json", R"({"value":["a.txt","b.txt"]})"}, {"/packages/version/1.2.0.json", R"({"value":["c.txt"]})"},
            {"/packages/bin/a.txt", "new a"}, {"/packages/bin/b.txt", "new b"}, {"/packages/bin/c.txt", "new c"}};
        for (auto it = routes.cbegin(); it != routes.cend(); ++it) {
            Reply reply;
            reply.body = it.value(), reply.delayMs = !held.isEmpty() && it.key().startsWith(held) ? 1000 : 0;
            server.route(it.key(), reply);
        }
        MainWindow window(nullptr, {server.url(), ".", 0});
        QSignalSpy toClose(&window, &MainWindow::toClose);
        QSignalSpy bar(part<QProgressBar>(window, "progressBar"), &QProgressBar::valueChanged);
        int asked = routes.size();
        if (!held.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(!server.requests().filter(held).isEmpty(), 30000);
            QVERIFY(window.isVisible());
            QTest::mouseClick(part(window, "pushButton"), Qt::LeftButton);
            asked = server.requests().size();
        }
        // Closed, the worker still ends the request under way and then reports.
        QTRY_COMPARE_WITH_TIMEOUT(toClose.count(), held.isEmpty() ? 1 : 2, 30000);
        QCOMPARE(window.getUpdateOk(), held.isEmpty());
        const QStringList requests = server.requests();
        QVERIFY(requests.size() == asked && requests.filter("/packages/bin/").size() == fetched);
        for (const QString file : {"/packages/bin/a.txt", "/packages/bin/b.txt", "/packages/bin/c.txt"})
            QCOMPARE(TestSupport::readAll(file.mid(14)), requests.contains(file) ? routes.value(file) : QByteArray());
        if (held.isEmpty()) {
            QCOMPARE(QList<QVariantList>(bar), (QList<QVariantList>{{33}, {66}}));
            QCOMPARE(part<QLabel>(window, "label_right")->text(), "(2/3)");
            QVERIFY(routes.contains("/packages/bin/" + part<QLabel>(window, "label_left")->text()));
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
