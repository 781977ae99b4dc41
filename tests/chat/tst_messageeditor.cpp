// SPDX-License-Identifier: MIT
#include "chat/fontwidget.h"
#include "chat/sendtextedit.h"
#include "filehelpers.h"
#include "widgethelpers.h"

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

// The "src" of every picture of the message body, in order.
QStringList pictureSources(const SendTextEdit& editor)
{
    QStringList sources;
    for (const QJsonValue& item : editor.messageContent().content) {
        if (item.isArray())
            sources << item.toArray().at(1).toObject().value("src").toString();
    }
    return sources;
}

const QStringList fontKeys{"editor/font/name",   "editor/font/size",      "editor/font/bold",
                           "editor/font/italic", "editor/font/underline", "editor/font/color"};

QVariantList savedFont()
{
    QVariantList values;
    for (const QString& key : fontKeys)
        values << QSettings().value(key).toString();
    return values;
}

} // namespace

class TestMessageEditor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
    }

    void keys_data()
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
    void keys()
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
        const QString text = sends ? "ab" : QStringLiteral("a") + QChar(QChar::LineSeparator) + "b";
        QCOMPARE(editor.messageContent().content, QJsonArray{text});
    }

    void pictureNames()
    {
        QTemporaryDir dir;
        const QUrl chosen = QUrl::fromLocalFile(dir.filePath(QStringLiteral("chosen.png")));
        QVERIFY(solidImage(8, 8).save(chosen.toLocalFile()));
        SendTextEdit editor;
        editor.insertImage(solidImage(10, 10));
        editor.insertImage(solidImage(12, 12));
        QMimeData* data = new QMimeData;
        data->setImageData(solidImage(14, 14));
        paste(editor, data);
        editor.setEnabled(false);
        editor.insertImage(solidImage(16, 16));
        editor.insertImages({chosen});
        editor.setEnabled(true);
        editor.insertImage(solidImage(18, 18));
        editor.insertImages({chosen, QUrl::fromLocalFile(dir.filePath("none.png"))});

        QCOMPARE(pictureSources(editor),
                 (QStringList{"dropped_image_1", "dropped_image_2", "dropped_image_3",
                              "dropped_image_4", chosen.toString()}));
        const QJsonObject fourth = editor.messageContent().content.at(3).toArray().at(1).toObject();
        QCOMPARE(decodeImage(fourth.value("buffer").toString()).size(), QSize(18, 18));
    }

    void displayBox_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("shown"); // invalid: no width or height given
        // The editor is 500 x 150: the box is 100 x 30.
        QTest::newRow("fits") << QSize(50, 20) << QSize();
        QTest::newRow("wide") << QSize(400, 100) << QSize(120, 30);
        QTest::newRow("tall") << QSize(40, 300) << QSize(100, 750);
    }
    void displayBox()
    {
        QFETCH(QSize, picture);
        QFETCH(QSize, shown);
        SendTextEdit editor;
        editor.resize(500, 150);
        editor.insertImage(solidImage(picture.width(), picture.height()));
        const QTextImageFormat format =
            editor.document()->begin().begin().fragment().charFormat().toImageFormat();
        QCOMPARE(format.name(), QStringLiteral("dropped_image_1"));
        QCOMPARE(format.hasProperty(QTextFormat::ImageWidth), shown.isValid());
        QCOMPARE(format.hasProperty(QTextFormat::ImageHeight), shown.isValid());
        QCOMPARE(QSize(qRound(format.width()), qRound(format.height())),
                 shown.isValid() ? shown : QSize(0, 0));
    }

    void drops_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"PNG", "text", "long text", "folder", "fifo", "missing", "web"})
            QTest::newRow(kind) << kind;
    }
    void drops()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString path = dir.filePath(kind == "PNG" ? "SHOT.PNG" : "drop.txt");
        // A text longer than a message may be is refused whole.
        const QByteArray text =
            kind == "text" ? QByteArray("line one\r\nline two")
                           : QByteArray(maxMessageCharacters - 1, 'x') + "\xc3\xa9\xc3\xa9";
        QString expected;
        if (kind == "PNG") {
            QVERIFY(solidImage(20, 10).save(path, "PNG"));
        } else if (kind.endsWith("text")) {
            QVERIFY(writeFile(path, text));
            expected = kind == "text" ? "line one\nline two" : "";
        } else if (kind == "folder") {
            path = dir.path();
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        const QUrl url =
            kind == "web" ? QUrl("https://example.org/a.txt") : QUrl::fromLocalFile(path);
        SendTextEdit editor;
        QMimeData* data = new QMimeData;
        data->setUrls({url});
        paste(editor, data);
        QCOMPARE(pictureSources(editor),
                 kind == "PNG" ? QStringList{url.toString()} : QStringList());
        if (kind != "PNG")
            QCOMPARE(editor.toPlainText(), expected);
    }

    // Whatever would make the message larger than one may be is refused whole, with a word
    // to the user; what just fits comes in.
    void oversizedInput_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("characters"); // in the editor afterwards
        QTest::addColumn<int>("pictures");
        for (const char* kind : {"text", "rich text", "markup", "lines", "picture", "17 pictures"})
            QTest::newRow(kind) << kind << 0 << (kind == QLatin1String("17 pictures") ? 16 : 0);
        QTest::newRow("text that fits") << "fits" << maxMessageCharacters << 0;
    }
    void oversizedInput()
    {
        QFETCH(QString, kind);
        QFETCH(int, characters);
        QFETCH(int, pictures);
        SendTextEdit editor;
        QSignalSpy refused(&editor, &SendTextEdit::refused);
        const QString tooLong(maxMessageCharacters + 1, QLatin1Char('x'));
        QMimeData* data = new QMimeData;
        if (kind == "text") {
            data->setText(tooLong);
        } else if (kind == "rich text") {
            data->setHtml("<p>" + tooLong + "</p>");
        } else if (kind == "markup") {
            data->setHtml("<p>" + QString(8 * maxMessageCharacters, QLatin1Char('x')) + "</p>");
        } else if (kind == "lines") {
            data->setHtml(QStringLiteral("x<br>").repeated(maxMessageLineBreaks + 1));
        } else if (kind == "picture") {
            data->setImageData(solidImage(maxImageSide + 1, 1));
        } else if (kind == "17 pictures") {
            for (int i = 0; i < 16; ++i)
                editor.insertImage(solidImage(4, 4));
            data->setImageData(solidImage(4, 4));
        } else {
            data->setText(QString(maxMessageCharacters, QLatin1Char('x')));
        }
        paste(editor, data);
        QCOMPARE(refused.count(), kind == "fits" ? 0 : 1);
        QCOMPARE(editor.toPlainText().remove(QChar::ObjectReplacementCharacter).size(), characters);
        QCOMPARE(pictureSources(editor).size(), pictures);
    }

    // The history shows at most maxMessageItems parts of a message (a run of text per
    // paragraph, each picture): the editor takes no more than that, however they come.
    void partsOfOneMessage()
    {
        SendTextEdit editor;
        QSignalSpy refused(&editor, &SendTextEdit::refused);
        const QString lines = QStringLiteral("x\n").repeated(maxMessageItems);
        QMimeData* tooMany = new QMimeData;
        tooMany->setText(lines + QStringLiteral("x"));
        paste(editor, tooMany);
        QCOMPARE(refused.count(), 1);
        QVERIFY(editor.document()->isEmpty());
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("lines.txt"));
        QVERIFY(writeFile(file, (lines + QStringLiteral("x")).toUtf8()));
        QMimeData* drop = new QMimeData;
        drop->setUrls({QUrl::fromLocalFile(file)});
        paste(editor, drop);
        QCOMPARE(refused.count(), 2);
        QVERIFY(editor.document()->isEmpty());

        // Exactly as many, the last paragraph left empty, come in and go out whole.
        QMimeData* fits = new QMimeData;
        fits->setText(lines);
        paste(editor, fits);
        QCOMPARE(refused.count(), 2);
        QCOMPARE(editor.messageContent().content.size(), maxMessageItems);
        // Typing into that empty paragraph would start one part more; a picture too.
        editor.moveCursor(QTextCursor::End);
        QTest::keyClick(&editor, Qt::Key_Y);
        editor.insertImage(solidImage(4, 4));
        QCOMPARE(refused.count(), 4);
        QCOMPARE(editor.messageContent().content.size(), maxMessageItems);
        // Within a paragraph there is room.
        editor.moveCursor(QTextCursor::Start);
        QTest::keyClick(&editor, Qt::Key_Y);
        QCOMPARE(refused.count(), 4);
        QVERIFY(editor.toPlainText().startsWith(QStringLiteral("yx\n")));
    }

    void pastedRichText()
    {
        // Rich text copied from the history names pictures by their senders' paths: a pipe
        // among them must not block the editor, a local picture comes in.
        QTemporaryDir dir;
        const QUrl fifo = QUrl::fromLocalFile(dir.filePath(QStringLiteral("pipe.png")));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo.toLocalFile()).constData(), 0600), 0);
        const QUrl picture = QUrl::fromLocalFile(dir.filePath(QStringLiteral("seen.png")));
        QVERIFY(solidImage(6, 6).save(picture.toLocalFile()));
        SendTextEdit editor;
        editor.show();
        QMimeData* data = new QMimeData;
        data->setHtml(QStringLiteral("<p>see <img src=\"%1\"> and <img src=\"%2\"></p>")
                          .arg(fifo.toString(), picture.toString()));
        paste(editor, data);
        editor.repaint();
        QCOMPARE(pictureSources(editor), QStringList{picture.toString()});
        QVERIFY(editor.toPlainText().startsWith(QStringLiteral("see ")));
    }

    void styleText_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QString>("text");
        QTest::newRow("default") << 0 << QColor() << "color: #000000;\nfont: 9pt \"Arial\";";
        QTest::newRow("all styles")
            << 7 << QColor(Qt::red)
            << "color: #ff0000;\nfont: bold italic 9pt \"Arial\";\ntext-decoration: underline;";
    }
    void styleText()
    {
        QFETCH(int, style);
        QFETCH(QColor, colour);
        QFETCH(QString, text);
        MessageFont font;
        font.family = QStringLiteral("Arial");
        font.style = style;
        font.color = colour;
        QCOMPARE(SendTextEdit::toStyleSheet(font), text);

        // The style reaches the editor.
        font.family = QFontDatabase().families().value(0);
        font.size = 15;
        SendTextEdit editor;
        editor.setFontStyle(font);
        editor.ensurePolished();
        QCOMPARE(editor.fontStyle(), font);
        QCOMPARE(editor.font().pointSize(), 15);
        QCOMPARE(editor.font().bold(), bool(style & MessageFont::Bold));
        QCOMPARE(editor.font().italic(), bool(style & MessageFont::Italic));
        QCOMPARE(editor.palette().color(QPalette::Text), colour.isValid() ? colour : Qt::black);

        // A size no message may carry is written at the largest one that may.
        font.size = maxFontPointSize + 28;
        editor.setFontStyle(font);
        editor.ensurePolished();
        QCOMPARE(editor.fontStyle().size, maxFontPointSize);
        QCOMPARE(editor.messageContent().font.size, maxFontPointSize);
    }

    void fontBarSettings()
    {
        const QString family = QFontDatabase().families().value(0);
        const QVariantList stored{family, "12", "true", "false", "true", "#336699"};
        QSettings().clear();
        for (int i = 0; i < fontKeys.size(); ++i)
            QSettings().setValue(fontKeys.at(i), stored.at(i));
        {
            FontWidget bar;
            QCOMPARE(bar.fontStyle().family, family);
            QCOMPARE(bar.fontStyle().size, 12);
            QCOMPARE(bar.fontStyle().style, MessageFont::Bold | MessageFont::Underline);
            QCOMPARE(bar.fontStyle().color, QColor("#336699"));
            auto* size = bar.findChild<QComboBox*>("fontSizeComboBox");
            auto* bold = bar.findChild<QToolButton*>("toolButtonTextBold");
            QCOMPARE(size->currentText(), QStringLiteral("12"));
            QVERIFY(bold->isChecked());

            QSignalSpy changed(&bar, &FontWidget::valueChanged);
            bold->click();
            bar.findChild<QToolButton*>("toolButtonTextItalic")->click();
            size->setCurrentIndex(size->findText("20"));
            QCOMPARE(changed.count(), 3);
            QCOMPARE(bar.fontStyle().style, MessageFont::Italic | MessageFont::Underline);
            QCOMPARE(savedFont(), stored); // written when the bar goes
        }
        QCOMPARE(savedFont(), (QVariantList{family, "20", "false", "true", "true", "#336699"}));
    }

    void fontBarOddSettings_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("size");
        QTest::addColumn<int>("expectedSize");
        QTest::addColumn<int>("sizeIndex");
        QTest::newRow("nothing saved") << ""
                                       << "" << 9 << 0;
        QTest::newRow("missing family, size not offered") << "No Such Family"
                                                          << "30" << 30 << -1;
        QTest::newRow("size unusable") << ""
                                       << "-4" << 9 << 0;
        // Larger than any message may carry, so others would not see it.
        QTest::newRow("size over the bound")
            << "" << QString::number(maxFontPointSize + 1) << 9 << 0;
    }
    void fontBarOddSettings()
    {
        QFETCH(QString, family);
        QFETCH(QString, size);
        QFETCH(int, expectedSize);
        QFETCH(int, sizeIndex);
        QSettings().clear();
        if (!size.isEmpty()) {
            QSettings().setValue(fontKeys.at(0), family);
            QSettings().setValue(fontKeys.at(1), size);
        }
        FontWidget bar;
        QCOMPARE(bar.fontStyle().family, MessageFont().family);
        QCOMPARE(bar.fontStyle().size, expectedSize);
        QCOMPARE(bar.fontStyle().color.name(), QStringLiteral("#000000"));
        QCOMPARE(bar.findChild<QComboBox*>("fontSizeComboBox")->currentIndex(), sizeIndex);
    }

    void cancelledColourDialog()
    {
        QSettings().clear();
        FontWidget bar;
        QSignalSpy changed(&bar, &FontWidget::valueChanged);
        onNextDialog([](QDialog* dialog) {
            static_cast<QColorDialog*>(dialog)->setCurrentColor(Qt::red);
            dialog->reject();
        });
        bar.findChild<QToolButton*>("toolButtonTextColor")->click();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(bar.fontStyle().color.name(), QStringLiteral("#000000"));
    }
};

QTEST_MAIN(TestMessageEditor)
#include "tst_messageeditor.moc"
