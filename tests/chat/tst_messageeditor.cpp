// SPDX-License-Identifier: MIT
#include "chat/fontwidget.h"
#include "chat/sendtextedit.h"

#include <QClipboard>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDatabase>
#include <QMimeData>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolButton>
#include <QtTest>

#include <sys/stat.h>

using namespace MeetingSupport;

namespace {

QImage solidImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(30, 90, 200));
    return image;
}

void paste(SendTextEdit& editor, QMimeData* data)
{
    QGuiApplication::clipboard()->setMimeData(data);
    editor.paste();
}

void pasteUrls(SendTextEdit& editor, const QList<QUrl>& urls)
{
    QMimeData* data = new QMimeData;
    data->setUrls(urls);
    paste(editor, data);
}

// The "src" of every picture in the message body, in order.
QStringList pictureSources(const SendTextEdit& editor)
{
    QStringList sources;
    for (const QJsonValue& item : editor.messageContent().content) {
        if (item.isArray())
            sources << item.toArray().at(1).toObject().value("src").toString();
    }
    return sources;
}

QTextImageFormat lastImageFormat(const QTextDocument* document)
{
    QTextImageFormat found;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().isImageFormat())
                found = it.fragment().charFormat().toImageFormat();
        }
    }
    return found;
}

} // namespace

class TestMessageEditor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void keys_data();
    void keys();
    void pictureNames();
    void displayBox_data();
    void displayBox();
    void drops_data();
    void drops();
    void styleText_data();
    void styleText();
    void fontBarSettings();
    void fontBarOddSettings_data();
    void fontBarOddSettings();
    void colourDialog_data();
    void colourDialog();
};

void TestMessageEditor::initTestCase()
{
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
    QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
}

void TestMessageEditor::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("sends");
    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier) << true;
    QTest::newRow("Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << true;
    QTest::newRow("Ctrl+Return") << int(Qt::Key_Return) << int(Qt::ControlModifier) << true;
    QTest::newRow("Alt+Return") << int(Qt::Key_Return) << int(Qt::AltModifier) << true;
    QTest::newRow("Shift+Return") << int(Qt::Key_Return) << int(Qt::ShiftModifier) << false;
    QTest::newRow("Shift+Enter") << int(Qt::Key_Enter) << int(Qt::ShiftModifier) << false;
}

void TestMessageEditor::keys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, sends);
    SendTextEdit editor;
    QSignalSpy returnPressed(&editor, &SendTextEdit::returnPressed);
    QTest::keyClicks(&editor, QStringLiteral("a"));
    QTest::keyClick(&editor, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTest::keyClicks(&editor, QStringLiteral("b"));
    QCOMPARE(returnPressed.count(), sends ? 1 : 0);
    QCOMPARE(editor.document()->toRawText(),
             sends ? QStringLiteral("ab")
                   : QStringLiteral("a") + QChar(QChar::LineSeparator) + "b");
    QCOMPARE(editor.messageContent().content, (QJsonArray{editor.document()->toRawText()}));
}

void TestMessageEditor::pictureNames()
{
    QTemporaryDir dir;
    const QString chosen = dir.filePath(QStringLiteral("chosen.png"));
    QVERIFY(solidImage(8, 8).save(chosen));
    SendTextEdit editor;
    editor.insertImage(solidImage(10, 10));
    editor.insertImage(solidImage(12, 12));
    QMimeData* data = new QMimeData;
    data->setImageData(solidImage(14, 14));
    paste(editor, data);
    editor.setEnabled(false);
    editor.insertImage(solidImage(16, 16));
    editor.insertImages({QUrl::fromLocalFile(chosen)});
    editor.setEnabled(true);
    editor.insertImage(solidImage(18, 18));
    editor.insertImages({QUrl::fromLocalFile(chosen), QUrl::fromLocalFile(dir.filePath("no.png"))});
    editor.insertImages({});

    QCOMPARE(pictureSources(editor),
             (QStringList{"dropped_image_1", "dropped_image_2", "dropped_image_3",
                          "dropped_image_4", QUrl::fromLocalFile(chosen).toString()}));
    const QJsonArray content = editor.messageContent().content;
    QCOMPARE(
        decodeImage(content.at(3).toArray().at(1).toObject().value("buffer").toString()).size(),
        QSize(18, 18));
}

void TestMessageEditor::displayBox_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("shown"); // invalid: no width or height given
    // The editor is 500 x 150: the box is 100 x 30.
    QTest::newRow("fits") << QSize(50, 20) << QSize();
    QTest::newRow("wide") << QSize(400, 100) << QSize(120, 30);
    QTest::newRow("tall") << QSize(40, 300) << QSize(100, 750);
}

void TestMessageEditor::displayBox()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, shown);
    SendTextEdit editor;
    editor.resize(500, 150);
    editor.insertImage(solidImage(picture.width(), picture.height()));
    const QTextImageFormat format = lastImageFormat(editor.document());
    QCOMPARE(format.name(), QStringLiteral("dropped_image_1"));
    QCOMPARE(format.hasProperty(QTextFormat::ImageWidth), shown.isValid());
    QCOMPARE(format.hasProperty(QTextFormat::ImageHeight), shown.isValid());
    if (shown.isValid())
        QCOMPARE(QSize(qRound(format.width()), qRound(format.height())), shown);
}

void TestMessageEditor::drops_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("upper-case picture suffix") << "picture";
    QTest::newRow("text file") << "text";
    QTest::newRow("long text file") << "long";
    QTest::newRow("folder") << "folder";
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("missing file") << "missing";
    QTest::newRow("web address") << "web";
}

void TestMessageEditor::drops()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("drop.txt"));
    QString expectedText;
    if (kind == "picture") {
        path = dir.filePath(QStringLiteral("SHOT.PNG"));
        QVERIFY(solidImage(20, 10).save(path, "PNG"));
    } else if (kind == "text" || kind == "long") {
        // The long one puts a two-byte character across the limit: it is left out whole.
        const QByteArray bytes = kind == "text" ? QByteArray("line one\r\nline two")
                                                : QByteArray(maxDroppedTextBytes - 1, 'x') +
                                                      "\xc3\xa9" + QByteArray(100, 'y');
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        expectedText = kind == "text" ? QStringLiteral("line one\nline two")
                                      : QString(maxDroppedTextBytes - 1, QLatin1Char('x'));
    } else if (kind == "folder") {
        path = dir.path();
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }
    const QUrl url = kind == "web" ? QUrl(QStringLiteral("https://example.org/a.txt"))
                                   : QUrl::fromLocalFile(path);

    SendTextEdit editor;
    pasteUrls(editor, {url});
    QCOMPARE(pictureSources(editor),
             kind == "picture" ? QStringList{url.toString()} : QStringList());
    if (kind != "picture")
        QCOMPARE(editor.toPlainText(), expectedText);
}

void TestMessageEditor::styleText_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QString>("text");
    QTest::newRow("default") << 0 << QColor() << "color: #000000;\nfont: 9pt \"Arial\";";
    QTest::newRow("all styles")
        << 7 << QColor(Qt::red)
        << "color: #ff0000;\nfont: bold italic 9pt \"Arial\";\ntext-decoration: underline;";
}

void TestMessageEditor::styleText()
{
    QFETCH(int, style);
    QFETCH(QColor, colour);
    QFETCH(QString, text);
    MessageFont font;
    font.family = QStringLiteral("Arial");
    font.style = style;
    font.color = colour;
    QCOMPARE(SendTextEdit::toStyleSheet(font), text);

    // The style reaches the editor itself.
    font.family = QFontDatabase().families().value(0);
    font.size = 15;
    SendTextEdit editor;
    editor.setFontStyle(font);
    editor.ensurePolished();
    QCOMPARE(editor.fontStyle(), font);
    QCOMPARE(editor.font().pointSize(), 15);
    QCOMPARE(editor.font().bold(), bool(style & MessageFont::Bold));
    QCOMPARE(editor.font().italic(), bool(style & MessageFont::Italic));
    QCOMPARE(editor.palette().color(QPalette::Text), colour.isValid() ? colour : QColor(Qt::black));
}

void TestMessageEditor::fontBarSettings()
{
    const QString family = QFontDatabase().families().value(0);
    {
        QSettings settings;
        settings.clear();
        settings.setValue("editor/font/name", family);
        settings.setValue("editor/font/size", 12);
        settings.setValue("editor/font/bold", true);
        settings.setValue("editor/font/italic", false);
        settings.setValue("editor/font/underline", true);
        settings.setValue("editor/font/color", "#336699");
    }
    {
        FontWidget bar;
        const MessageFont font = bar.fontStyle();
        QCOMPARE(font.family, family);
        QCOMPARE(font.size, 12);
        QCOMPARE(font.style, MessageFont::Bold | MessageFont::Underline);
        QCOMPARE(font.color, QColor("#336699"));
        auto* size = bar.findChild<QComboBox*>("fontSizeComboBox");
        QCOMPARE(size->currentText(), QStringLiteral("12"));
        QVERIFY(bar.findChild<QToolButton*>("toolButtonTextBold")->isChecked());
        QVERIFY(!bar.findChild<QToolButton*>("toolButtonTextItalic")->isChecked());

        QSignalSpy changed(&bar, &FontWidget::valueChanged);
        bar.findChild<QToolButton*>("toolButtonTextBold")->click();
        bar.findChild<QToolButton*>("toolButtonTextItalic")->click();
        size->setCurrentIndex(size->findText("20"));
        QCOMPARE(changed.count(), 3);
        QCOMPARE(bar.fontStyle().style, MessageFont::Italic | MessageFont::Underline);
        QCOMPARE(bar.fontStyle().size, 20);
        // Changes stay in memory until the bar goes.
        QCOMPARE(QSettings().value("editor/font/size").toInt(), 12);
    }
    QSettings settings;
    QCOMPARE(settings.value("editor/font/name").toString(), family);
    QCOMPARE(settings.value("editor/font/size").toInt(), 20);
    QCOMPARE(settings.value("editor/font/bold").toBool(), false);
    QCOMPARE(settings.value("editor/font/italic").toBool(), true);
    QCOMPARE(settings.value("editor/font/underline").toBool(), true);
    QCOMPARE(settings.value("editor/font/color").toString(), QStringLiteral("#336699"));
}

void TestMessageEditor::fontBarOddSettings_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QVariant>("size");
    QTest::addColumn<int>("expectedSize");
    QTest::addColumn<int>("sizeIndex");
    QTest::newRow("nothing saved") << QString() << QVariant() << 9 << 0;
    QTest::newRow("missing family") << "No Such Family" << QVariant(10) << 10 << 1;
    QTest::newRow("size not offered") << QString() << QVariant(30) << 30 << -1;
    QTest::newRow("size unusable") << QString() << QVariant("big") << 9 << 0;
    QTest::newRow("size negative") << QString() << QVariant(-4) << 9 << 0;
}

void TestMessageEditor::fontBarOddSettings()
{
    QFETCH(QString, family);
    QFETCH(QVariant, size);
    QFETCH(int, expectedSize);
    QFETCH(int, sizeIndex);
    QSettings().clear();
    if (!family.isEmpty())
        QSettings().setValue("editor/font/name", family);
    if (size.isValid())
        QSettings().setValue("editor/font/size", size);
    FontWidget bar;
    QCOMPARE(bar.fontStyle().family, MessageFont().family);
    QCOMPARE(bar.fontStyle().size, expectedSize);
    QCOMPARE(bar.fontStyle().style, 0);
    QCOMPARE(bar.fontStyle().color.name(), QStringLiteral("#000000"));
    QCOMPARE(bar.findChild<QComboBox*>("fontSizeComboBox")->currentIndex(), sizeIndex);
}

void TestMessageEditor::colourDialog_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("cancelled") << false;
    QTest::newRow("accepted") << true;
}

void TestMessageEditor::colourDialog()
{
    QFETCH(bool, accept);
    QSettings().clear();
    FontWidget bar;
    QSignalSpy changed(&bar, &FontWidget::valueChanged);
    bool answered = false;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answered = true;
        dialog->setCurrentColor(QColor("#aa0011"));
        accept ? dialog->accept() : dialog->reject();
    });
    timer.start(20);
    bar.findChild<QToolButton*>("toolButtonTextColor")->click();
    QVERIFY(answered);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(bar.fontStyle().color.name(), accept ? QStringLiteral("#aa0011") : "#000000");
}

QTEST_MAIN(TestMessageEditor)
#include "tst_messageeditor.moc"
