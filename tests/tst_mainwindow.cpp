#include "mainwindow.h"

#include <QDir>
#include <QFrame>
#include <QImageReader>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <memory>

// Named through a macro so that this target's own form compiler does not go
// looking for a mainwindow.ui next to this file.
#define UPDATER_UI_HEADER "ui_mainwindow.h"
#if __has_include(UPDATER_UI_HEADER)
#include UPDATER_UI_HEADER
#define UPDATER_HAVE_UI_HEADER 1
#endif

namespace {

const char *const logStamp = "^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d:  ";

QStringList logLines()
{
    QFile file(QStringLiteral("updateLog.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream stream(&file);
    return stream.readAll().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool logHasLine(const QString &message)
{
    const QRegularExpression line(QLatin1String(logStamp) + QRegularExpression::escape(message)
                                  + QLatin1Char('$'));
    const QStringList lines = logLines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const QString &text) { return line.match(text).hasMatch(); });
}

bool isCloseRed(QRgb p)
{
    return qAbs(qRed(p) - 231) <= 3 && qAbs(qGreen(p) - 30) <= 3 && qAbs(qBlue(p) - 33) <= 3
        && qAlpha(p) == 255;
}

QByteArray argb(QRgb p)
{
    return QColor::fromRgba(p).name(QColor::HexArgb).toLatin1();
}

// The worker reports a failed check at once: see init().
bool failedCheck(MainWindow &window)
{
    QSignalSpy toClose(&window, &MainWindow::toClose);
    return toClose.wait(30000) && !window.getUpdateOk();
}

template<typename T> T *part(MainWindow &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

// Records the presses that reach the window.
class PressRecorder : public QObject
{
public:
    QList<QPoint> presses;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress)
            presses << static_cast<QMouseEvent *>(event)->pos();
        return false;
    }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString startDir;

    ZelkorVersion::Options options() const
    {
        ZelkorVersion::Options result;
        result.appDir = dir->path();
        result.serverUrl = QStringLiteral("http://127.0.0.1:9");
        return result;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QStandardPaths::findExecutable(QStringLiteral("updateCurl.exe")).isEmpty(),
                 "an updateCurl.exe on PATH would answer the update-list requests");
    }

    // The worker writes updateLog.txt into the working directory, so each
    // window gets a fresh one. The folder holds no updateCurl.exe, so the
    // update-list fetch cannot start and the window hears of a failed check on
    // the next event-loop turn; tests needing the start state act before that.
    void init()
    {
        startDir = QDir::currentPath();
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
        QVERIFY(QDir::setCurrent(dir->path()));
    }

    void cleanup()
    {
        QDir::setCurrent(startDir);
        dir.reset();
    }

    void properties_data()
    {
        QTest::addColumn<QString>("object");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("expected");
        const auto row = [](const char *object, const char *property, const QVariant &expected) {
            QTest::addRow("%s_%s", object, property)
                << QString::fromLatin1(object) << QByteArray(property) << expected;
        };
        const QString cell =
            QStringLiteral("background:rgb(105, 213, 242);\ncolor:rgb(255, 255, 255);");
        row("MainWindow", "windowTitle", QStringLiteral("更新检测"));
        row("MainWindow", "size", QSize(416, 249));
        row("MainWindow", "minimumSize", QSize(416, 249));
        row("MainWindow", "maximumSize", QSize(416, 249));
        row("MainWindow", "autoFillBackground", false);
        row("MainWindow", "styleSheet", QStringLiteral("background-color:rgb(85, 255, 255)"));
        row("frame", "styleSheet", QStringLiteral("background-image: url(:/images/aaa.jpg);\n"
                                                  "background-image: url(:/images/aaa.jpg);"));
        row("frame", "frameShape", int(QFrame::StyledPanel));
        row("frame", "frameShadow", int(QFrame::Raised));
        row("frame", "autoFillBackground", false);
        row("progressBar", "styleSheet",
            QStringLiteral(" QProgressBar::chunk {\n     background-color: rgb(75, 215, 241);\n"
                           "     width: 10px;\n     margin: 0.5px;\n }"));
        row("progressBar", "value", 0);
        row("progressBar", "textVisible", false);
        row("progressBar", "minimum", 0);
        row("progressBar", "maximum", 100);
        row("progressBar", "orientation", int(Qt::Horizontal));
        row("pushButton", "styleSheet",
            QStringLiteral("QPushButton{border-image: url(\":/images/closeBtn.png\")}\n"
                           "QPushButton:hover{border-image: url(\":/images/closeBtn_hover.png\")}"));
        row("pushButton", "text", QString());
        row("label_left", "styleSheet", QString(cell + QLatin1Char('\n')));
        row("label_left", "text", QStringLiteral("正在准备中..."));
        row("label_left", "scaledContents", false);
        row("label_right", "styleSheet", cell);
        row("label_right", "text", QString());
        row("label_right", "scaledContents", false);
        row("label_2", "styleSheet", QString(cell + QLatin1Char('\n')));
        row("label_2", "text", QStringLiteral(" 总体进度："));
        row("pushButton_close", "styleSheet", QStringLiteral("background:rgb(105, 213, 242);\n"));
        row("pushButton_close", "text", QStringLiteral("退出"));
        row("label", "styleSheet",
            QStringLiteral("color:rgb(255, 255, 255);\nbackground:rgb(105, 213, 242);"));
        row("label", "text", QStringLiteral("正在下载："));
    }

    void properties()
    {
        QFETCH(QString, object);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, expected);
        MainWindow window(nullptr, options());
        QObject *target = object == QLatin1String("MainWindow")
            ? &window
            : window.findChild<QObject *>(object);
        QVERIFY(target);
        const QVariant actual = target->property(property.constData());
        QVERIFY(actual.isValid());
        if (expected.userType() == QMetaType::Int) // enums compare by value
            QCOMPARE(actual.toInt(), expected.toInt());
        else
            QCOMPARE(actual, expected);
    }

    void widgetGeometry_data()
    {
        QTest::addColumn<QByteArray>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QSize>("minimum");
        QTest::addColumn<QSize>("maximum");
        QTest::addColumn<int>("horizontal");
        QTest::addColumn<int>("vertical");
        const QSize none(0, 0), unlimited(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX), whole(416, 249);
        const auto row = [](const char *name, const char *className, const char *parent, QRect r,
                            QSize min, QSize max, QSizePolicy::Policy h, QSizePolicy::Policy v) {
            QTest::newRow(name) << QByteArray(className) << QString::fromLatin1(parent) << r << min
                                << max << int(h) << int(v);
        };
        using P = QSizePolicy;
        row("frame", "QFrame", "centralWidget", {0, 0, 416, 249}, whole, whole, P::Preferred, P::Preferred);
        row("progressBar", "QProgressBar", "frame", {20, 198, 381, 15}, none, unlimited, P::Fixed, P::Fixed);
        row("pushButton", "QPushButton", "frame", {390, 0, 25, 25}, none, unlimited, P::Minimum, P::Fixed);
        row("label_left", "QLabel", "frame", {82, 172, 191, 20}, {185, 0}, unlimited, P::Expanding, P::Preferred);
        row("label_right", "QLabel", "frame", {345, 172, 53, 20}, none, {QWIDGETSIZE_MAX, 20},
            P::Expanding, P::Preferred);
        row("label_2", "QLabel", "frame", {280, 172, 65, 20}, none, unlimited, P::Fixed, P::Preferred);
        row("pushButton_close", "QPushButton", "frame", {354, 220, 51, 23}, none, unlimited,
            P::Minimum, P::Fixed);
        row("label", "QLabel", "frame", {22, 172, 60, 20}, none, unlimited, P::Fixed, P::Preferred);
    }

    void widgetGeometry()
    {
        QFETCH(QByteArray, className);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(QSize, minimum);
        QFETCH(QSize, maximum);
        QFETCH(int, horizontal);
        QFETCH(int, vertical);
        MainWindow window(nullptr, options());
        QWidget *w = part<QWidget>(window, QTest::currentDataTag());
        QVERIFY(w && w->parentWidget());
        QCOMPARE(QByteArray(w->metaObject()->className()), className);
        QCOMPARE(w->parentWidget()->objectName(), parentName);
        QCOMPARE(w->geometry(), geometry);
        QCOMPARE(w->minimumSize(), minimum);
        QCOMPARE(w->maximumSize(), maximum);
        const QSizePolicy policy = w->sizePolicy();
        QCOMPARE(int(policy.horizontalPolicy()), horizontal);
        QCOMPARE(int(policy.verticalPolicy()), vertical);
        QCOMPARE(policy.horizontalStretch(), 0);
        QCOMPARE(policy.verticalStretch(), 0);
    }

    void stackingOrder()
    {
        MainWindow window(nullptr, options());
        auto *frame = part<QFrame>(window, "frame");
        QVERIFY(frame);
        QStringList order; // siblings are listed bottom to top
        for (QObject *child : frame->children()) {
            if (child->isWidgetType())
                order << child->objectName();
        }
        QCOMPARE(order.join(QLatin1Char(' ')),
                 QStringLiteral("progressBar pushButton label_left label_right label_2 label "
                                "pushButton_close"));
    }

    void formKeepsGivenName_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("expected");
        QTest::newRow("named") << QStringLiteral("Other") << QStringLiteral("Other");
        QTest::newRow("unnamed") << QString() << QStringLiteral("MainWindow");
    }

    void formKeepsGivenName()
    {
#ifdef UPDATER_HAVE_UI_HEADER
        QFETCH(QString, given);
        QFETCH(QString, expected);
        QMainWindow host;
        host.setObjectName(given);
        Ui_MainWindow form;
        form.setupUi(&host);
        QCOMPARE(host.objectName(), expected);
#else
        QSKIP("the generated form header is not on this test's include path");
#endif
    }

    void stateAfterConstruction()
    {
        MainWindow window(nullptr, options());
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        auto *frame = part<QWidget>(window, "frame");
        auto *closeButton = part<QWidget>(window, "pushButton_close");
        QVERIFY(frame && closeButton);
        QVERIFY(frame->isVisibleTo(&window));
        QVERIFY(!closeButton->isVisibleTo(&window));
        QCOMPARE(window.windowFlags() & (Qt::WindowType_Mask | Qt::WindowStaysOnTopHint),
                 Qt::WindowFlags(Qt::SplashScreen | Qt::WindowStaysOnTopHint));
        QCOMPARE(window.windowModality(), Qt::ApplicationModal);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.getEndReason(), 0);
        QVERIFY(!window.getUpdateOk());
        QVERIFY(!QGuiApplication::screens().isEmpty());
        const QRect area = QGuiApplication::screens().at(0)->geometry();
        QCOMPARE(window.pos(), QPoint(area.x() + (area.width() - 416) / 2,
                                      area.y() + (area.height() - 249) / 2));
    }

    void pictureFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::newRow("aaa_jpg") << QStringLiteral(":/images/aaa.jpg") << QByteArray("jpeg")
                                 << QSize(416, 249);
        for (const char *name : {"closeBtn", "closeBtn_hover", "closeBtn2"})
            QTest::addRow("%s_png", name)
                << QStringLiteral(":/images/%1.png").arg(QLatin1String(name)) << QByteArray("png")
                << QSize(25, 25);
    }

    void pictureFile()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        const QByteArray data = file.readAll();
        QImageReader reader(path);
        QCOMPARE(reader.format(), format);
        QCOMPARE(reader.size(), size);
        QVERIFY2(!reader.read().isNull(), qPrintable(reader.errorString()));
        const auto byte = [&data](int at) { return at < data.size() ? int(uchar(data[at])) : -1; };
        if (format == "jpeg") {
            QVERIFY(data.startsWith("\xFF\xD8"));
            QVERIFY(!data.contains("\xFF\xC2")); // not progressive
            const int sof = data.indexOf("\xFF\xC0"); // baseline frame header
            QVERIFY(sof > 0);
            QCOMPARE(byte(sof + 4), 8); // sample precision
            QCOMPARE(QSize(byte(sof + 7) << 8 | byte(sof + 8), byte(sof + 5) << 8 | byte(sof + 6)),
                     size);
            QCOMPARE(byte(sof + 9), 3); // colour components
        } else {
            QVERIFY(data.startsWith("\x89PNG\r\n\x1A\n") && data.size() > 33);
            QCOMPARE(data.mid(12, 4), QByteArray("IHDR"));
            QCOMPARE(QSize(qFromBigEndian<qint32>(data.constData() + 16),
                           qFromBigEndian<qint32>(data.constData() + 20)), size);
            QCOMPARE(byte(24), 8); // bit depth
            QCOMPARE(byte(25), 6); // RGBA
            QCOMPARE(byte(28), 0); // not interlaced
        }
    }

    void picturePixel_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *tag, const char *name, QPoint point, const char *expected) {
            QTest::newRow(tag) << QString::fromLatin1(name) << point
                               << QString::fromLatin1(expected);
        };
        row("hover_top_left_red", "closeBtn_hover", {0, 0}, "closeRed");
        row("hover_bottom_right_red", "closeBtn_hover", {24, 24}, "closeRed");
        row("normal_corner_clear", "closeBtn", {0, 0}, "clear");
        row("other_centre_reddish", "closeBtn2", {12, 12}, "reddish");
        row("other_corner_clear", "closeBtn2", {24, 0}, "clear");
    }

    void picturePixel()
    {
        QFETCH(QString, name);
        QFETCH(QPoint, point);
        QFETCH(QString, expected);
        const QImage image(QStringLiteral(":/images/%1.png").arg(name));
        QVERIFY(!image.isNull());
        const QRgb p = image.pixel(point);
        if (expected == QLatin1String("clear"))
            QCOMPARE(qAlpha(p), 0);
        else if (expected == QLatin1String("closeRed"))
            QVERIFY2(isCloseRed(p), argb(p).constData());
        else
            QVERIFY2(qAlpha(p) == 255 && qRed(p) > 200 && qGreen(p) < 80 && qBlue(p) < 80,
                     argb(p).constData());
    }

    void hoverShowsHoverPicture()
    {
        MainWindow window(nullptr, options());
        auto *button = part<QPushButton>(window, "pushButton");
        auto *label = part<QLabel>(window, "label_left");
        QVERIFY(button && label);
        QVERIFY(failedCheck(window)); // it would close the window once shown
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseMove(label);
        QTRY_VERIFY(!button->underMouse());
        const QRgb normal = button->grab().toImage().pixel(2, 2);
        QTest::mouseMove(button);
        QTRY_VERIFY(button->underMouse());
        const QRgb hovered = button->grab().toImage().pixel(2, 2);
        QVERIFY2(isCloseRed(hovered), argb(hovered).constData());
        QVERIFY2(!isCloseRed(normal), argb(normal).constData());
    }

    void checkUpdateListEnd_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("nothingToUpdate");
        QTest::addColumn<bool>("beginsUpdate");
        QTest::newRow("up_to_date_0") << 0 << true << false;
        QTest::newRow("optional_1") << 1 << false << true;
        QTest::newRow("enforced_2") << 2 << false << true;
        QTest::newRow("unknown_3") << 3 << false << false;
        QTest::newRow("unknown_minus_1") << -1 << false << false;
    }

    void checkUpdateListEnd()
    {
        QFETCH(int, type);
        QFETCH(bool, nothingToUpdate);
        QFETCH(bool, beginsUpdate);
        MainWindow window(nullptr, options());
        QVERIFY(failedCheck(window)); // so that its report cannot land mid-test
        QSignalSpy updateEnd(&window, &MainWindow::upDateEnd);
        QSignalSpy toClose(&window, &MainWindow::toClose);

        window.checkUpdateListEnd(type);

        QCOMPARE(updateEnd.count(), nothingToUpdate ? 1 : 0);
        QCOMPARE(window.getUpdateOk(), nothingToUpdate);
        QCOMPARE(window.getEndReason(), nothingToUpdate ? 1 : 0);
        QCOMPARE(window.isVisible(), beginsUpdate);
        const QString begun = QStringLiteral("开始更新");
        if (beginsUpdate) {
            QTRY_VERIFY2(logHasLine(begun), qPrintable(logLines().join(QLatin1Char('|'))));
        } else {
            QCOMPARE(toClose.count(), 0);
            QVERIFY(!logHasLine(begun));
        }
    }

    void updateEnd_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("shownBefore");
        QTest::newRow("success") << true << false;
        QTest::newRow("failure_hidden") << false << false;
        QTest::newRow("failure_shown") << false << true;
    }

    void updateEnd()
    {
        QFETCH(bool, ok);
        QFETCH(bool, shownBefore);
        // No event-loop turn before the call, so the start state is intact.
        MainWindow window(nullptr, options());
        auto *label = part<QLabel>(window, "label_left");
        auto *closeButton = part<QPushButton>(window, "pushButton_close");
        QVERIFY(label && closeButton);
        if (shownBefore)
            window.show();
        QSignalSpy toClose(&window, &MainWindow::toClose);

        window.slotupdateEnd(ok);

        QCOMPARE(window.getUpdateOk(), ok);
        QCOMPARE(toClose.count(), 1);
        QCOMPARE(label->text(),
                 ok ? QStringLiteral("正在准备中...") : QStringLiteral("更新超时，请重试!!!"));
        QCOMPARE(closeButton->isVisibleTo(&window), !ok);
        QVERIFY(closeButton->isEnabled());
        if (!ok)
            QVERIFY(!window.isVisible());
    }

    void progress_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("value");
        QTest::newRow("0_to_57") << 0 << 57;
        QTest::newRow("0_to_99") << 0 << 99;
        QTest::newRow("57_to_0") << 57 << 0;
    }

    void progress()
    {
        QFETCH(int, before);
        QFETCH(int, value);
        MainWindow window(nullptr, options());
        auto *bar = part<QProgressBar>(window, "progressBar");
        QVERIFY(bar);
        window.slotUpdateProcess(before);
        window.slotUpdateProcess(value);
        QCOMPARE(bar->value(), value);
        QVERIFY(!bar->isTextVisible());
    }

    void labelText_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<bool>("leftChanges");
        QTest::addColumn<bool>("rightChanges");
        QTest::newRow("left_0") << 0 << true << false;
        QTest::newRow("right_1") << 1 << false << true;
        QTest::newRow("none_2") << 2 << false << false;
        QTest::newRow("none_minus_1") << -1 << false << false;
    }

    void labelText()
    {
        QFETCH(int, which);
        QFETCH(bool, leftChanges);
        QFETCH(bool, rightChanges);
        MainWindow window(nullptr, options());
        auto *left = part<QLabel>(window, "label_left");
        auto *right = part<QLabel>(window, "label_right");
        QVERIFY(left && right && part<QLabel>(window, "label") && part<QLabel>(window, "label_2"));
        const QString text = QStringLiteral("bin/plugins/核心.dll");

        window.setLableText(text, which);

        QCOMPARE(left->text(), leftChanges ? text : QStringLiteral("正在准备中..."));
        QCOMPARE(right->text(), rightChanges ? text : QString());
        QCOMPARE(part<QLabel>(window, "label")->text(), QStringLiteral("正在下载："));
        QCOMPARE(part<QLabel>(window, "label_2")->text(), QStringLiteral(" 总体进度："));
    }

    void appendTextChangesNoWidget()
    {
        MainWindow window(nullptr, options());
        const auto texts = [&window] {
            QStringList result{window.windowTitle()};
            for (const QLabel *label : window.findChildren<QLabel *>())
                result << label->objectName() + QLatin1Char('=') + label->text();
            for (const QAbstractButton *button : window.findChildren<QAbstractButton *>())
                result << button->objectName() + QLatin1Char('=') + button->text();
            return result;
        };
        const QStringList before = texts();
        window.appendText(QStringLiteral("x"));
        window.appendText(QStringLiteral("更新失败，失败原因写入版本信息错误"));
        QCOMPARE(texts(), before);
    }

    void buttonsStop_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("corner_button") << QStringLiteral("pushButton");
        QTest::newRow("exit_button") << QStringLiteral("pushButton_close");
    }

    void buttonsStop()
    {
        QFETCH(QString, button);
        MainWindow window(nullptr, options());
        QVERIFY(failedCheck(window)); // this reveals the exit button
        window.checkUpdateListEnd(0); // updateOk true, so "unchanged" means something
        QVERIFY(window.getUpdateOk());
        auto *target = window.findChild<QPushButton *>(button);
        QVERIFY(target);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(target->isVisible());
        QSignalSpy toClose(&window, &MainWindow::toClose);

        QTest::mouseClick(target, Qt::LeftButton);

        QCOMPARE(window.getEndReason(), -1);
        QCOMPARE(toClose.count(), 1);
        QVERIFY(!window.isVisible());
        QVERIFY(window.getUpdateOk());
    }

    void logTruncatedAtStart()
    {
        QFile old(QStringLiteral("updateLog.txt"));
        QVERIFY2(old.open(QIODevice::WriteOnly), qPrintable(old.errorString()));
        QVERIFY(old.write(QByteArray("stale entry from an earlier run\n").repeated(200)) > 0);
        old.close();

        MainWindow window(nullptr, options());
        const QStringList lines = logLines();
        QVERIFY(!lines.isEmpty());
        QVERIFY(!lines.join(QLatin1Char('\n')).contains(QLatin1String("stale entry")));
        const QRegularExpression first(QLatin1String(logStamp) + QStringLiteral("版本检测$"));
        QVERIFY2(first.match(lines.first()).hasMatch(), qPrintable(lines.first()));
    }

    void pressOutsideButtonsIgnored_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::newRow("hidden") << false;
        QTest::newRow("shown") << true;
    }

    // A press outside the buttons is passed up to the window, which leaves it
    // unaccepted; offscreen windows cannot be moved by the system.
    void pressOutsideButtonsIgnored()
    {
        QFETCH(bool, shown);
        MainWindow window(nullptr, options());
        auto *label = part<QLabel>(window, "label_left");
        QVERIFY(label);
        QVERIFY(failedCheck(window));
        if (shown) {
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
        }
        PressRecorder recorder;
        window.installEventFilter(&recorder);
        QSignalSpy toClose(&window, &MainWindow::toClose);

        const QPoint at = label->rect().center();
        QMouseEvent press(QEvent::MouseButtonPress, at, label->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(label, &press);

        QCOMPARE(recorder.presses, QList<QPoint>{label->mapTo(&window, at)});
        QVERIFY(!press.isAccepted());
        QCOMPARE(window.getEndReason(), 0);
        QCOMPARE(toClose.count(), 0);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
