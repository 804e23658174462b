#include "mainwindow.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <memory>

using Step = std::function<void(MainWindow &)>;
Q_DECLARE_METATYPE(Step)

static QStringList logLines()
{
    QFile file(QStringLiteral("updateLog.txt"));
    file.open(QIODevice::ReadOnly | QIODevice::Text);
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

template<typename T = QWidget>
static T *part(MainWindow &w, const char *name) { return w.findChild<T *>(QString::fromLatin1(name)); }

// The worker reports a failed check on its own: see init().
static bool failedCheck(MainWindow &w)
{
    return QSignalSpy(&w, &MainWindow::toClose).wait(30000) && !w.getUpdateOk();
}

// Everything the slots may change, as "name=value" items.
static QStringList state(MainWindow &w, const QSignalSpy &upDateEnd, const QSignalSpy &toClose)
{
    const auto *bar = part<QProgressBar>(w, "progressBar");
    const auto *exit = part<QPushButton>(w, "pushButton_close");
    const int begun = logLines().filter(QStringLiteral(":  开始更新")).size();
    QStringList s = QStringLiteral("ok=%1 reason=%2 shown=%3 exit=%4 bar=%5 barText=%6 upDateEnd=%7 "
                                   "toClose=%8 begun=%9")
                        .arg(int(w.getUpdateOk())).arg(w.getEndReason()).arg(int(w.isVisible()))
                        .arg(exit->isVisibleTo(&w) ? exit->text() : QString()).arg(bar->value())
                        .arg(int(bar->isTextVisible())).arg(upDateEnd.count()).arg(toClose.count())
                        .arg(begun).split(u' ');
    for (const QLabel *label : w.findChildren<QLabel *>())
        s << label->objectName() + u'=' + label->text();
    return s;
}

static void showExposed(MainWindow &w) { w.show(); QVERIFY(QTest::qWaitForWindowExposed(&w)); }

static void press(MainWindow &w)
{
    QWidget *label = part(w, "label_left");
    const QPoint at = label->rect().center();
    QMouseEvent event(QEvent::MouseButtonPress, at, label->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(label, &event);
    QVERIFY(!event.isAccepted()); // offscreen windows cannot be moved by the system
}

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    const QString startDir = QDir::currentPath();
    ZelkorVersion::Options options() const { return {QStringLiteral("http://127.0.0.1:9"), dir->path(), 0}; }

private slots:
    // The worker logs into the working directory. Without updateCurl.exe the check fails
    // on the next event-loop turn; tests needing the start state act before that.
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid() && QDir::setCurrent(dir->path()));
        QVERIFY2(QStandardPaths::findExecutable(QStringLiteral("updateCurl.exe")).isEmpty(),
                 "an updateCurl.exe on PATH would answer the update-list requests");
    }

    void cleanup() { QDir::setCurrent(startDir); dir.reset(); }

    void widgets_data()
    {
        QTest::addColumn<QByteArray>("className");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QVariant>("text"); // invalid: the widget has none
        QTest::addColumn<QString>("styleSheet");
        const auto row = [](const char *name, const char *cls, QRect r, const char *text, const char *sheet) {
            QTest::newRow(name) << QByteArray(cls) << r << (text ? QVariant(QString::fromUtf8(text)) : QVariant())
                                << QString::fromUtf8(sheet);
        };
#define CELL "background:rgb(105, 213, 242);\ncolor:rgb(255, 255, 255);"
        row("frame", "QFrame", {0, 0, 416, 249}, nullptr,
            "background-image: url(:/images/aaa.jpg);\nbackground-image: url(:/images/aaa.jpg);");
        row("progressBar", "QProgressBar", {20, 198, 381, 15}, nullptr,
            " QProgressBar::chunk {\n     background-color: rgb(75, 215, 241);\n     width: 10px;\n"
            "     margin: 0.5px;\n }");
        row("pushButton", "QPushButton", {390, 0, 25, 25}, "",
            "QPushButton{border-image: url(\":/images/closeBtn.png\")}\n"
            "QPushButton:hover{border-image: url(\":/images/closeBtn_hover.png\")}");
        row("label_left", "QLabel", {82, 172, 191, 20}, "正在准备中...", CELL "\n");
        row("label_right", "QLabel", {345, 172, 53, 20}, "", CELL);
        row("label_2", "QLabel", {280, 172, 65, 20}, " 总体进度：", CELL "\n");
        row("pushButton_close", "QPushButton", {354, 220, 51, 23}, "退出", "background:rgb(105, 213, 242);\n");
        row("label", "QLabel", {22, 172, 60, 20}, "正在下载：",
            "color:rgb(255, 255, 255);\nbackground:rgb(105, 213, 242);");
#undef CELL
    }

    void widgets()
    {
        QFETCH(QByteArray, className);
        QFETCH(QRect, geometry);
        QFETCH(QVariant, text);
        QFETCH(QString, styleSheet);
        MainWindow window(nullptr, options());
        QWidget *w = part(window, QTest::currentDataTag());
        QVERIFY(w && w->parentWidget());
        QCOMPARE(QByteArray(w->metaObject()->className()), className);
        QCOMPARE(w->parentWidget()->objectName(), QLatin1String(className == "QFrame" ? "centralWidget" : "frame"));
        QCOMPARE(w->geometry(), geometry);
        QCOMPARE(w->styleSheet(), styleSheet);
        if (text.isValid())
            QCOMPARE(w->property("text"), text);
    }

    void startState()
    {
        MainWindow window(nullptr, options());
        auto *frame = part<QFrame>(window, "frame");
        auto *bar = part<QProgressBar>(window, "progressBar");
        QVERIFY(frame && bar);
        QCOMPARE(window.windowTitle(), QStringLiteral("更新检测"));
        QCOMPARE(window.styleSheet(), QStringLiteral("background-color:rgb(85, 255, 255)"));
        QVERIFY(window.size() == QSize(416, 249) && window.minimumSize() == window.size()
                && window.maximumSize() == window.size());
        QCOMPARE(frame->frameShape(), QFrame::StyledPanel);
        QStringList order; // siblings are listed bottom to top
        for (const QObject *child : frame->children())
            order << child->objectName();
        QCOMPARE(order.join(u' '), QStringLiteral("progressBar pushButton label_left label_right "
                                                  "label_2 label pushButton_close"));
        QVERIFY(!part(window, "pushButton_close")->isVisibleTo(&window));
        QCOMPARE(window.windowFlags() & (Qt::WindowType_Mask | Qt::WindowStaysOnTopHint),
                 Qt::WindowFlags(Qt::SplashScreen | Qt::WindowStaysOnTopHint));
        QCOMPARE(window.windowModality(), Qt::ApplicationModal);
        QVERIFY(!window.isVisible() && !window.getUpdateOk() && window.getEndReason() == 0);
        QVERIFY(bar->value() == 0 && bar->minimum() == 0 && bar->maximum() == 100);
        const QRect area = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(window.pos(), area.topLeft() + QPoint((area.width() - 416) / 2, (area.height() - 249) / 2));
    }

    void pictures()
    {
        for (const QString &name : QStringLiteral("aaa.jpg closeBtn.png closeBtn_hover.png closeBtn2.png").split(u' ')) {
            QFile file(QStringLiteral(":/images/") + name);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
            const QByteArray d = file.readAll();
            const bool jpeg = name.endsWith(QLatin1String(".jpg"));
            QImageReader reader(file.fileName());
            QCOMPARE(reader.format(), QByteArray(jpeg ? "jpeg" : "png"));
            QCOMPARE(reader.size(), jpeg ? QSize(416, 249) : QSize(25, 25));
            QVERIFY2(!reader.read().isNull(), qPrintable(reader.errorString()));
            if (jpeg) // a baseline frame header and no progressive one
                QVERIFY(d.startsWith("\xFF\xD8") && d.indexOf("\xFF\xC0") > 0 && !d.contains("\xFF\xC2"));
            else // IHDR: 8 bits per sample, colour type 6 (RGBA)
                QCOMPARE(d.mid(12, 14).toHex(), QByteArray("494844520000001900000019" "0806"));
        }
    }

    // Each row lists what its step changes; everything else must stay as it was.
    void effects_data()
    {
        QTest::addColumn<bool>("settled"); // after the worker's failed-check report
        QTest::addColumn<Step>("step");
        QTest::addColumn<QString>("changes");
        const auto row = [](const char *tag, bool settled, const Step &step, const char *changes) {
            QTest::newRow(tag) << settled << step << QString::fromUtf8(changes);
        };
        const auto check = [](int type) { return [type](MainWindow &w) { w.checkUpdateListEnd(type); }; };
        const auto text = [](int i) { return [i](MainWindow &w) { w.setLableText(QStringLiteral("bin/核心.dll"), i); }; };
        const auto click = [](const char *button) {
            return [button](MainWindow &w) {
                w.checkUpdateListEnd(0); // so that updateOk staying true means something
                showExposed(w);
                QTest::mouseClick(part(w, button), Qt::LeftButton);
            };
        };
        row("checkUpdateListEnd_0", true, check(0), "ok=1 reason=1 upDateEnd=1");
        row("checkUpdateListEnd_1", true, check(1), "shown=1 begun=1");
        row("checkUpdateListEnd_3", true, check(3), "");
        row("slotupdateEnd_true", false, [](MainWindow &w) { w.slotupdateEnd(true); }, "ok=1 toClose=1");
        row("slotupdateEnd_false", false, [](MainWindow &w) { w.show(); w.slotupdateEnd(false); },
            "toClose=1 exit=退出 label_left=更新超时，请重试!!!");
        row("setLableText_0", false, text(0), "label_left=bin/核心.dll");
        row("setLableText_1", false, text(1), "label_right=bin/核心.dll");
        row("setLableText_2", false, text(2), "");
        row("slotUpdateProcess", false, [](MainWindow &w) { w.slotUpdateProcess(57); }, "bar=57");
        row("appendText", false, [](MainWindow &w) { w.appendText(QStringLiteral("更新失败")); }, "");
        row("corner_button", true, click("pushButton"), "ok=1 reason=-1 upDateEnd=1 toClose=1");
        row("exit_button", true, click("pushButton_close"), "ok=1 reason=-1 upDateEnd=1 toClose=1");
        row("press_shown", true, [](MainWindow &w) { showExposed(w); press(w); }, "shown=1");
    }

    void effects()
    {
        QFETCH(bool, settled);
        QFETCH(Step, step);
        QFETCH(QString, changes);
        MainWindow window(nullptr, options());
        QVERIFY(!settled || failedCheck(window));
        QSignalSpy upDateEnd(&window, &MainWindow::upDateEnd);
        QSignalSpy toClose(&window, &MainWindow::toClose);
        QStringList expected = state(window, upDateEnd, toClose);
        for (const QString &change : changes.split(u' ', Qt::SkipEmptyParts)) {
            const int i = expected.indexOf(QRegularExpression(change.section(u'=', 0, 0) + QLatin1String("=.*")));
            QVERIFY2(i >= 0, qPrintable(change));
            expected[i] = change;
        }
        step(window);
        QCOMPARE(state(window, upDateEnd, toClose).join(u' '), expected.join(u' '));
    }

    void logTruncatedAtStart()
    {
        QVERIFY(TestSupport::writeFile(QStringLiteral("updateLog.txt"), QByteArray("stale\n").repeated(200)));
        MainWindow window(nullptr, options());
        const QStringList lines = logLines();
        QVERIFY(!lines.isEmpty() && lines.filter(QStringLiteral("stale")).isEmpty());
        QVERIFY2(lines.first().endsWith(QStringLiteral(":  版本检测")), qPrintable(lines.first()));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
