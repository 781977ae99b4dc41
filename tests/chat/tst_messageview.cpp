// SPDX-License-Identifier: MIT
#include "chat/documentconverter.h"
#include "chat/historypictures.h"
#include "chat/imageviewer.h"
#include "chat/messageimagehandler.h"
#include "chat/messageview.h"
#include "widgethelpers.h"

#include <QAbstractTextDocumentLayout>
#include <QClipboard>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include <sys/stat.h>

using namespace MeetingSupport;

namespace {

const QString shownTime = QStringLiteral("2024/3/5 07:08:09");

QImage solidImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(200, 40, 40));
    return image;
}

QJsonValue picture(const QJsonObject& object)
{
    return QJsonArray{QStringLiteral("image"), object};
}

QJsonValue fileNotice(const char* name, const char* command)
{
    return QJsonArray{"file", QJsonObject{{"name", name}, {"cmd", command}}};
}

ChatMessage message(MessageType type, const QString& sender, const QJsonArray& content)
{
    ChatMessage m(type);
    m.info.insert(QStringLiteral("time"), QStringLiteral("1709622489000"));
    m.info.setSender(sender);
    m.package.content = content;
    return m;
}

QStringList imageNames(const QTextDocument* document)
{
    QStringList names;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().isImageFormat())
                names << it.fragment().charFormat().toImageFormat().name();
        }
    }
    return names;
}

// Where the first picture of the last message is, in the viewport.
QPoint firstPicture(MessageView& view)
{
    QTextBlock body = view.document()->lastBlock();
    while (body.isValid() && !body.text().contains(QChar::ObjectReplacementCharacter))
        body = body.previous();
    const int at = body.text().indexOf(QChar::ObjectReplacementCharacter);
    const QTextLine line = body.layout()->lineForTextPosition(at);
    const QPointF origin = view.document()->documentLayout()->blockBoundingRect(body).topLeft();
    return (origin + QPointF(line.cursorToX(at) + 5, line.y() + line.height() - 5)).toPoint() -
           QPoint(0, view.verticalScrollBar()->value());
}

QString words(int length)
{
    QString text;
    while (text.size() < length)
        text += QStringLiteral("the minutes are on the shared drive ");
    text.truncate(length);
    return text;
}

QTextCharFormat formatOf(const QTextBlock& block)
{
    return block.begin().fragment().charFormat();
}

int alignmentOf(const QTextBlock& block)
{
    return int(block.blockFormat().alignment() & Qt::AlignHorizontal_Mask);
}

} // namespace

class TestMessageView : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }

    void chatMessages_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<int>("alignment");
        QTest::addColumn<QColor>("headerColour");
        QTest::newRow("own") << "me" << int(Qt::AlignRight) << QColor(Qt::darkGreen);
        QTest::newRow("other") << "bob" << int(Qt::AlignLeft) << QColor(Qt::blue);
    }

    void chatMessages()
    {
        QFETCH(QString, sender);
        QFETCH(int, alignment);
        QFETCH(QColor, headerColour);
        MessageView view;
        view.setOwnName(QStringLiteral("me"));
        ChatMessage m = message(TextMessage, sender, {QStringLiteral("hello")});
        m.package.font.size = 14;
        m.package.font.style = MessageFont::Bold | MessageFont::Underline;
        m.package.font.color = QColor(QStringLiteral("#12ab34"));
        m.package.font.family = QStringLiteral("DejaVu Serif");
        view.addMessage(m);

        const QTextBlock body = view.document()->lastBlock();
        const QTextBlock header = body.previous();
        QCOMPARE(header.text(), sender + QStringLiteral("  ") + shownTime);
        QCOMPARE(alignmentOf(header), alignment);
        QCOMPARE(formatOf(header).foreground().color(), headerColour);
        QCOMPARE(body.text(), QStringLiteral("hello"));
        QCOMPARE(alignmentOf(body), alignment);
        const QTextCharFormat text = formatOf(body);
        QCOMPARE(text.fontFamily(), QStringLiteral("DejaVu Serif"));
        QCOMPARE(text.fontPointSize(), 14.0);
        QCOMPARE(text.fontWeight(), int(QFont::Bold));
        QVERIFY(text.fontUnderline() && !text.fontItalic());
        QCOMPARE(text.foreground().color(), QColor(QStringLiteral("#12ab34")));
    }

    void notesAndStatusLines_data()
    {
        QTest::addColumn<int>("type"); // -100 - n: a status line of level n
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QStringList>("lines"); // the new blocks; none when nothing is shown
        QTest::addColumn<QString>("colour");
        const QString grey = QColor(Qt::gray).name();
        QTest::newRow("own file note") << int(FileMessage) << "me" << QStringList() << "";
        QTest::newRow("other's file note")
            << int(FileMessage) << "bob"
            << QStringList{shownTime, QStringLiteral("bob delete file: a.txt") +
                                          QChar(QChar::LineSeparator) +
                                          "bob upload a new file: b.txt"}
            << grey;
        QTest::newRow("system note")
            << int(SystemMessage) << "me" << QStringList{shownTime, "bob joined"} << grey;
        QTest::newRow("meeting request") << int(MeetingRequest) << "bob" << QStringList() << "";
        QTest::newRow("status 0") << -100 << "connected" << QStringList{"connected"} << "#1e90ff";
        QTest::newRow("status 1") << -101 << "slow" << QStringList{"slow"} << "#ff7f24";
        QTest::newRow("status 2") << -102 << "failed" << QStringList{"failed"} << "#ff3030";
        QTest::newRow("status 3") << -103 << "odd" << QStringList() << "";
        QTest::newRow("empty status") << -100 << "" << QStringList() << "";
    }

    void notesAndStatusLines()
    {
        QFETCH(int, type);
        QFETCH(QString, sender);
        QFETCH(QStringList, lines);
        QFETCH(QString, colour);
        MessageView view;
        view.setOwnName(QStringLiteral("me"));
        view.addStatus(QStringLiteral("earlier"), 0);
        const int before = view.document()->blockCount();
        if (type <= -100) {
            view.addStatus(sender, -100 - type);
        } else {
            const QJsonArray files{fileNotice("a.txt", "delete"), fileNotice("b.txt", "upload"),
                                   fileNotice("c.txt", "rename")};
            view.addMessage(message(MessageType(type), sender,
                                    type == SystemMessage ? QJsonArray{"bob joined"} : files));
        }
        QCOMPARE(view.document()->blockCount(), before + lines.size());
        QTextBlock block = view.document()->lastBlock();
        for (int i = lines.size() - 1; i >= 0; --i, block = block.previous()) {
            QCOMPARE(block.text(), lines.at(i));
            QCOMPARE(int(block.blockFormat().alignment()), int(Qt::AlignCenter));
            QCOMPARE(formatOf(block).foreground().color().name(), colour);
        }
    }

    void receivedPictures()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("here.png"));
        QVERIFY(solidImage(30, 20).save(file));
        const QString buffer = encodeImage(solidImage(40, 30));
        const QString missing = QUrl::fromLocalFile(dir.filePath("gone.png")).toString();

        MessageView view;
        view.addMessage(
            message(TextMessage, "bob",
                    {picture({{"buffer", buffer}}), picture({{"src", missing}}),
                     QJsonArray{"image", QJsonObject{{"buffer", buffer}}, 7,
                                QJsonObject{{"buffer", buffer}}},
                     picture({{"src", missing}, {"link", "x"}, {"buffer", buffer}}),
                     picture({{"buffer", "damaged"}}),
                     picture({{"src", QUrl::fromLocalFile(file).toString()}, {"buffer", buffer}}),
                     QJsonArray{"face", 3}, QJsonArray{"mystery", 1}, QStringLiteral("end")}));

        QCOMPARE(imageNames(view.document()),
                 (QStringList{"send_image_0", "1", "send_image_2", "send_image_3", file}));
        QCOMPARE(qvariant_cast<QImage>(
                     view.document()->resource(QTextDocument::ImageResource, QStringLiteral("1")))
                     .size(),
                 QImage(":/qml/images/temp_down_image.png").size());
        QCOMPARE(view.pictures()->originalSize("send_image_2"), QSize(40, 30));
        QCOMPARE(view.pictures()->originalSize(file), QSize(30, 20));
        QVERIFY(view.document()->lastBlock().text().endsWith(QLatin1String("end")));
    }

    void pictureSourceConfined_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"ordinary file", "fifo", "device", "directory", "huge file",
                                 "host", "unc", "relative"})
            QTest::newRow(kind) << kind;
    }

    void pictureSourceConfined()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("picture.png"));
        QVERIFY(solidImage(30, 20).save(path));
        const QMap<QString, QString> sources{
            {"device", "file:///dev/zero"},
            {"directory", QUrl::fromLocalFile(dir.path()).toString()},
            {"host", "file://fileserver/share/picture.png"},
            {"unc", "file:////fileserver/share/picture.png"},
            {"relative", "file:picture.png"}};
        if (kind == "fifo") {
            path = dir.filePath(QStringLiteral("pipe.png"));
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == "huge file") {
            // Still a valid picture, but more than 64 MiB long (the tail costs no disk space).
            QVERIFY(QFile(path).resize(65 * 1024 * 1024));
        }
        const QString src = sources.value(kind, QUrl::fromLocalFile(path).toString());

        const QString workingDirectory = QDir::currentPath();
        QDir::setCurrent(dir.path());
        MessageView view;
        view.addMessage(
            message(TextMessage, "bob",
                    {picture({{"src", src}, {"buffer", encodeImage(solidImage(4, 3))}})}));
        QDir::setCurrent(workingDirectory);
        QCOMPARE(imageNames(view.document()),
                 QStringList{kind == "ordinary file" ? path : "send_image_0"});
    }

    // A text built to stall the view is shown up to the bounds, with a note of the rest; an
    // ordinary one exactly as sent. Copying gives the text as it came.
    void longTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown"); // as copied from the view
        QTest::addColumn<int>("leftOut");
        const int most = maxMessageCharacters;
        const QString huge = words(8 << 20);
        const QString word(most + 5, QLatin1Char('x'));
        const QString lines = QStringLiteral("y\n").repeated(maxMessageLineBreaks + 10);
        const QString accents(20, QChar(0x0301));
        QTest::newRow("ordinary") << words(100) << words(100) << 0;
        QTest::newRow("8 Mi characters") << huge << huge.left(most) << huge.size() - most;
        QTest::newRow("one long word") << word << word.left(most) << 5;
        QTest::newRow("lines") << lines << lines.left(2 * maxMessageLineBreaks + 1) << 19;
        QTest::newRow("marks") << "a" + accents + "b"
                               << "a" + accents.left(8) + "b" << 12;
    }
    void longTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QFETCH(int, leftOut);
        MessageView view;
        view.addMessage(message(TextMessage, "bob", {text}));
        const QString last = view.document()->lastBlock().text();
        if (leftOut > 0)
            QVERIFY(last.contains(QLocale().toString(leftOut) + " more characters not shown"));
        else
            QCOMPARE(last, text);
        view.selectAll();
        view.copy();
        const QString copied = QGuiApplication::clipboard()->text();
        QVERIFY(copied.contains(shown));
        QVERIFY(copied.size() < shown.size() + 200);
    }

    // A large picture costs memory for the size it is drawn at; the viewer gets the original.
    void largePicture()
    {
        MessageView view;
        view.resize(400, 300); // the box is 200 x 150
        view.addMessage(message(TextMessage, "bob",
                                {picture({{"buffer", encodeImage(solidImage(4096, 4096))}})}));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        HistoryPictures* pictures = view.pictures();
        QTRY_COMPARE(pictures->held("send_image_0").size(), QSize(200, 200));
        QCOMPARE(pictures->heldBytes(), qint64(200 * 200 * 4));

        doubleClickAt(view.viewport(), firstPicture(view));
        QVERIFY(view.imageViewer()->isVisible());
        QCOMPARE(view.imageViewer()->image().size(), QSize(4096, 4096));
    }

    // Beyond the history's bound the pictures drawn longest ago go back to their compressed
    // form, and come back when they are shown again.
    void historyPictureBound()
    {
        MessageView view;
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        HistoryPictures* pictures = view.pictures();
        const qint64 drawn = 200 * 200 * 4;
        pictures->setMemoryBound(3 * drawn);
        const QString buffer = encodeImage(solidImage(1000, 1000));
        for (int i = 0; i < 6; ++i) {
            view.addMessage(message(TextMessage, "bob", {picture({{"buffer", buffer}})}));
            view.viewport()->repaint();
            QTRY_VERIFY(!pictures->held(QStringLiteral("send_image_%1").arg(i)).isNull());
        }
        QVERIFY(pictures->held("send_image_0").isNull());
        QVERIFY(pictures->heldBytes() <= 3 * drawn);

        view.verticalScrollBar()->setValue(0);
        view.viewport()->repaint();
        QTRY_COMPARE(pictures->held("send_image_0").size(), QSize(200, 200));
        QVERIFY(pictures->heldBytes() <= 3 * drawn);
        QVERIFY(pictures->held("send_image_3").isNull());
    }

    // Pictures past a message's count or pixels show the placeholder, and a note says so.
    void picturesPerMessage_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("shown");
        QTest::newRow("many small")
            << QSize(10, 10) << maxMessagePictures + 4 << maxMessagePictures;
        QTest::newRow("16 megapixels each") << QSize(4096, 4096) << 6 << 4;
    }
    void picturesPerMessage()
    {
        QFETCH(QSize, size);
        QFETCH(int, count);
        QFETCH(int, shown);
        const QString buffer = encodeImage(solidImage(size.width(), size.height()));
        QJsonArray content;
        for (int i = 0; i < count; ++i)
            content.append(picture({{"buffer", buffer}}));
        MessageView view;
        view.addMessage(message(TextMessage, "bob", content));
        const QStringList names = imageNames(view.document());
        QCOMPARE(names.size(), count);
        QCOMPARE(names.filter("send_image_").size(), shown);
        QCOMPARE(qvariant_cast<QImage>(
                     view.document()->resource(QTextDocument::ImageResource, names.last())),
                 QImage(":/qml/images/temp_down_image.png"));
        QVERIFY(view.document()->lastBlock().text().contains(
            QStringLiteral("%1 pictures not shown").arg(count - shown)));
    }

    void pictureSizes_data()
    {
        QTest::addColumn<QSize>("viewSize");
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("shown");
        const QSize view(400, 300); // the box is 200 x 150
        QTest::newRow("twice the view's width") << view << QSize(800, 100) << QSize(1200, 150);
        QTest::newRow("large square") << view << QSize(3000, 3000) << QSize(200, 200);
        QTest::newRow("small one kept") << view << QSize(150, 100) << QSize(150, 100);
        QTest::newRow("extremely wide") << view << QSize(16384, 1) << QSize(4096, 1);
        QTest::newRow("extremely tall") << view << QSize(1, 16384) << QSize(1, 4096);
        QTest::newRow("area") << QSize(8000, 8000) << QSize(4000, 4000) << QSize(2896, 2896);
    }

    void pictureSizes()
    {
        QFETCH(QSize, viewSize);
        QFETCH(QSize, picture);
        QFETCH(QSize, shown);
        MessageView view;
        view.resize(viewSize);
        QTextCursor(view.document())
            .insertImage(solidImage(picture.width(), picture.height()), "p");
        QTextObjectInterface* handler =
            view.document()->documentLayout()->handlerForObject(QTextFormat::ImageObject);
        QVERIFY(dynamic_cast<MessageImageHandler*>(handler));
        const QTextFormat format = view.document()->begin().begin().fragment().charFormat();
        QCOMPARE(handler->intrinsicSize(view.document(), 0, format).toSize(), shown);
    }

    void doubleClick_data()
    {
        QTest::addColumn<bool>("onPicture");
        QTest::newRow("picture") << true;
        QTest::newRow("text") << false;
    }

    void doubleClick()
    {
        QFETCH(bool, onPicture);
        MessageView view;
        view.resize(400, 300);
        view.addMessage(message(TextMessage, "bob",
                                {"look ", picture({{"buffer", encodeImage(solidImage(60, 40))}})}));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        const QTextBlock body = view.document()->lastBlock();
        const QTextLine line = body.layout()->lineAt(0);
        const QPointF origin = view.document()->documentLayout()->blockBoundingRect(body).topLeft();
        const QPointF point =
            origin + QPointF(onPicture ? line.cursorToX(5) + 30 : 3, line.y() + line.height() - 10);
        doubleClickAt(view.viewport(),
                      point.toPoint() - QPoint(0, view.verticalScrollBar()->value()));
        QCOMPARE(view.imageViewer()->isVisible(), onPicture);
        QCOMPARE(view.imageViewer()->image().size(), onPicture ? QSize(60, 40) : QSize(0, 0));
    }

    void converter_data()
    {
        QTest::addColumn<QString>("layout"); // '|' starts a paragraph, '*' is a picture
        QTest::addColumn<QStringList>("items");
        QTest::newRow("two paragraphs") << "a|b" << QStringList{"a", "b"};
        QTest::newRow("text picture text") << "x*y" << QStringList{"x", "*", "y"};
        QTest::newRow("two pictures") << "**" << QStringList{"*", "*"};
        QTest::newRow("empty") << "" << QStringList();
    }

    void converter()
    {
        QFETCH(QString, layout);
        QFETCH(QStringList, items);
        QTextDocument document;
        QTextCursor cursor(&document);
        for (const QChar c : layout) {
            if (c == QLatin1Char('|'))
                cursor.insertBlock();
            else if (c == QLatin1Char('*'))
                cursor.insertImage(solidImage(20, 10), QStringLiteral("pic"));
            else
                cursor.insertText(c);
        }
        MessageFont font;
        font.size = 17;
        const MessagePackage package = DocumentConverter(&document, font).convert();
        QCOMPARE(package.font, font);
        QStringList seen;
        for (const QJsonValue& item : package.content) {
            const QJsonObject image = item.toArray().at(1).toObject();
            if (!item.isString()) {
                QCOMPARE(item.toArray().at(0).toString(), QStringLiteral("image"));
                QCOMPARE(image.value("src").toString(), QStringLiteral("pic"));
                QCOMPARE(decodeImage(image.value("buffer").toString()).size(), QSize(20, 10));
            }
            seen << (item.isString() ? item.toString() : QStringLiteral("*"));
        }
        QCOMPARE(seen, items);
    }
};

QTEST_MAIN(TestMessageView)
#include "tst_messageview.moc"
