// SPDX-License-Identifier: MIT
#include "chat/documentconverter.h"
#include "chat/imageviewer.h"
#include "chat/messageimagehandler.h"
#include "chat/messageview.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include <sys/stat.h>

using namespace MeetingSupport;

namespace {

QImage solidImage(int width, int height, QColor colour = QColor(200, 40, 40))
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QJsonArray picture(const QJsonObject& object)
{
    return QJsonArray{QStringLiteral("image"), object};
}

ChatMessage message(MessageType type, const QString& sender, const QJsonArray& content)
{
    ChatMessage m(type);
    m.info.insert(QStringLiteral("time"), QStringLiteral("1709622489000")); // 2024-03-05 07:08:09
    m.info.setSender(sender);
    m.package.content = content;
    return m;
}

// The names of the pictures in the document, in order.
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

QTextCharFormat firstCharFormat(const QTextBlock& block)
{
    return block.begin().fragment().charFormat();
}

} // namespace

class TestMessageView : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }

    void chatMessages_data();
    void chatMessages();
    void notes_data();
    void notes();
    void statusLines_data();
    void statusLines();
    void receivedPictures();
    void pictureSourceConfined_data();
    void pictureSourceConfined();
    void pictureSizes_data();
    void pictureSizes();
    void doubleClick_data();
    void doubleClick();
    void converter_data();
    void converter();
};

void TestMessageView::chatMessages_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<QColor>("headerColour");
    QTest::newRow("own") << "me" << int(Qt::AlignRight) << QColor(Qt::darkGreen);
    QTest::newRow("other") << "bob" << int(Qt::AlignLeft) << QColor(Qt::blue);
}

void TestMessageView::chatMessages()
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
    QCOMPARE(header.text(), sender + QStringLiteral("  2024/3/5 07:08:09"));
    QCOMPARE(int(header.blockFormat().alignment() & Qt::AlignHorizontal_Mask), alignment);
    QCOMPARE(firstCharFormat(header).foreground().color(), headerColour);
    QCOMPARE(body.text(), QStringLiteral("hello"));
    QCOMPARE(int(body.blockFormat().alignment() & Qt::AlignHorizontal_Mask), alignment);
    const QTextCharFormat text = firstCharFormat(body);
    QCOMPARE(text.fontFamily(), QStringLiteral("DejaVu Serif"));
    QCOMPARE(text.fontPointSize(), 14.0);
    QCOMPARE(text.fontWeight(), int(QFont::Bold));
    QVERIFY(text.fontUnderline());
    QVERIFY(!text.fontItalic());
    QCOMPARE(text.foreground().color(), QColor(QStringLiteral("#12ab34")));
}

void TestMessageView::notes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QStringList>("texts"); // empty: nothing shown
    QTest::newRow("own file note") << int(FileMessage) << "me" << QStringList();
    QTest::newRow("other's file note")
        << int(FileMessage) << "bob"
        << QStringList{"2024/3/5 07:08:09", QStringLiteral("bob delete file: a.txt") +
                                                QChar(QChar::LineSeparator) +
                                                "bob upload a new file: b.txt"};
    QTest::newRow("system") << int(SystemMessage) << "me"
                            << QStringList{"2024/3/5 07:08:09", "bob joined"};
    QTest::newRow("meeting request") << int(MeetingRequest) << "bob" << QStringList();
}

void TestMessageView::notes()
{
    QFETCH(int, type);
    QFETCH(QString, sender);
    QFETCH(QStringList, texts);
    MessageView view;
    view.setOwnName(QStringLiteral("me"));
    view.addStatus(QStringLiteral("earlier"), 0);
    const int before = view.document()->blockCount();
    const QJsonArray files{QJsonArray{"file", QJsonObject{{"name", "a.txt"}, {"cmd", "delete"}}},
                           QJsonArray{"file", QJsonObject{{"name", "b.txt"}, {"cmd", "upload"}}},
                           QJsonArray{"file", QJsonObject{{"name", "c.txt"}, {"cmd", "rename"}}}};
    const QJsonArray content =
        type == SystemMessage ? QJsonArray{QStringLiteral("bob joined")} : files;
    view.addMessage(message(MessageType(type), sender, content));

    QCOMPARE(view.document()->blockCount(), before + texts.size());
    QTextBlock block = view.document()->lastBlock();
    for (int i = texts.size() - 1; i >= 0; --i, block = block.previous()) {
        QCOMPARE(block.text(), texts.at(i));
        QCOMPARE(int(block.blockFormat().alignment()), int(Qt::AlignCenter));
        QCOMPARE(firstCharFormat(block).foreground().color(), QColor(Qt::gray));
    }
}

void TestMessageView::statusLines_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("colour"); // empty: nothing shown
    QTest::newRow("information") << 0 << "connected"
                                 << "#1e90ff";
    QTest::newRow("warning") << 1 << "slow"
                             << "#ff7f24";
    QTest::newRow("error") << 2 << "failed"
                           << "#ff3030";
    QTest::newRow("unknown level") << 3 << "odd"
                                   << "";
    QTest::newRow("empty text") << 0 << ""
                                << "";
}

void TestMessageView::statusLines()
{
    QFETCH(int, level);
    QFETCH(QString, text);
    QFETCH(QString, colour);
    MessageView view;
    const int before = view.document()->blockCount();
    view.addStatus(text, level);
    if (colour.isEmpty()) {
        QCOMPARE(view.document()->blockCount(), before);
        return;
    }
    const QTextBlock line = view.document()->lastBlock();
    QCOMPARE(line.text(), text);
    QCOMPARE(int(line.blockFormat().alignment()), int(Qt::AlignCenter));
    QCOMPARE(line.blockFormat().leftMargin(), 40.0);
    QCOMPARE(firstCharFormat(line).foreground().color().name(), colour);
}

void TestMessageView::receivedPictures()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("here.png"));
    QVERIFY(solidImage(30, 20).save(file));
    const QString buffer = encodeImage(solidImage(40, 30));
    const QString missing =
        QUrl::fromLocalFile(dir.filePath(QStringLiteral("gone.png"))).toString();

    MessageView view;
    view.addMessage(
        message(TextMessage, "bob",
                {picture({{"buffer", buffer}}), picture({{"src", missing}}),
                 QJsonArray{"image", QJsonObject{{"buffer", buffer}}, "skipped",
                            QJsonObject{{"buffer", buffer}}},
                 picture({{"src", missing}, {"link", "x"}, {"buffer", buffer}}),
                 picture({{"buffer", "damaged"}}),
                 picture({{"src", QUrl::fromLocalFile(file).toString()}, {"buffer", buffer}}),
                 QJsonArray{"face", 3}, QJsonArray{"mystery", 1}, QStringLiteral("end")}));

    QCOMPARE(imageNames(view.document()),
             (QStringList{"send_image_0", "1", "send_image_2", "send_image_3", file}));
    const auto resource = [&](const QString& name) {
        return qvariant_cast<QImage>(
            view.document()->resource(QTextDocument::ImageResource, QUrl(name)));
    };
    QCOMPARE(resource("1").size(), QImage(":/qml/images/temp_down_image.png").size());
    QCOMPARE(resource("send_image_2").size(), QSize(40, 30));
    QCOMPARE(resource(file).size(), QSize(30, 20));
    QVERIFY(view.document()->lastBlock().text().endsWith(QLatin1String("end")));
}

void TestMessageView::pictureSourceConfined_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("fromFile");
    QTest::newRow("ordinary file") << "file" << true;
    QTest::newRow("fifo") << "fifo" << false;
    QTest::newRow("device") << "device" << false;
    QTest::newRow("directory") << "directory" << false;
    QTest::newRow("huge file") << "huge" << false;
    QTest::newRow("share by host") << "host" << false;
    QTest::newRow("share by path") << "unc" << false;
    QTest::newRow("relative") << "relative" << false;
}

void TestMessageView::pictureSourceConfined()
{
    QFETCH(QString, kind);
    QFETCH(bool, fromFile);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("picture.png"));
    QVERIFY(solidImage(30, 20).save(path));
    QString src = QUrl::fromLocalFile(path).toString();
    if (kind == "fifo") {
        path = dir.filePath(QStringLiteral("pipe.png"));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        src = QUrl::fromLocalFile(path).toString();
    } else if (kind == "device") {
        src = QStringLiteral("file:///dev/zero");
    } else if (kind == "directory") {
        src = QUrl::fromLocalFile(dir.path()).toString();
    } else if (kind == "huge") {
        // A valid picture that is more than 64 MiB long; the tail costs no disk space.
        QFile file(path);
        QVERIFY(file.resize(65 * 1024 * 1024));
    } else if (kind == "host") {
        src = QStringLiteral("file://fileserver/share/picture.png");
    } else if (kind == "unc") {
        src = QStringLiteral("file:////fileserver/share/picture.png");
    } else if (kind == "relative") {
        src = QStringLiteral("file:picture.png");
    }

    const QString workingDirectory = QDir::currentPath();
    QDir::setCurrent(dir.path());
    MessageView view;
    view.addMessage(message(
        TextMessage, "bob",
        {QJsonValue(picture({{"src", src}, {"buffer", encodeImage(solidImage(40, 30))}}))}));
    QDir::setCurrent(workingDirectory);
    QCOMPARE(imageNames(view.document()), QStringList{fromFile ? path : "send_image_0"});
}

void TestMessageView::pictureSizes_data()
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

void TestMessageView::pictureSizes()
{
    QFETCH(QSize, viewSize);
    QFETCH(QSize, picture);
    QFETCH(QSize, shown);
    MessageView view;
    view.resize(viewSize);
    QTextCursor cursor(view.document());
    cursor.insertImage(solidImage(picture.width(), picture.height()), QStringLiteral("p"));
    QTextCharFormat format;
    for (auto it = view.document()->begin().begin(); !it.atEnd(); ++it)
        format = it.fragment().charFormat();
    QVERIFY(format.isImageFormat());

    QTextObjectInterface* handler =
        view.document()->documentLayout()->handlerForObject(QTextFormat::ImageObject);
    QVERIFY(dynamic_cast<MessageImageHandler*>(handler));
    QCOMPARE(handler->intrinsicSize(view.document(), 0, format).toSize(), shown);
}

void TestMessageView::doubleClick_data()
{
    QTest::addColumn<bool>("onPicture");
    QTest::newRow("picture") << true;
    QTest::newRow("text") << false;
}

void TestMessageView::doubleClick()
{
    QFETCH(bool, onPicture);
    MessageView view;
    view.resize(400, 300);
    view.addMessage(
        message(TextMessage, "bob",
                {QStringLiteral("look "), picture({{"buffer", encodeImage(solidImage(60, 40))}})}));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    const QTextBlock body = view.document()->lastBlock();
    const QTextLine line = body.layout()->lineAt(0);
    const QRectF blockRect = view.document()->documentLayout()->blockBoundingRect(body);
    const int column = onPicture ? body.text().size() - 1 : 1;
    const qreal x = blockRect.x() + line.cursorToX(column) + (onPicture ? 30 : 3);
    const qreal y = blockRect.y() + line.y() + line.height() - 10;
    const QPoint point = QPointF(x, y).toPoint() - QPoint(view.horizontalScrollBar()->value(),
                                                          view.verticalScrollBar()->value());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, point);

    QCOMPARE(view.imageViewer()->isVisible(), onPicture);
    if (onPicture)
        QCOMPARE(view.imageViewer()->image().size(), QSize(60, 40));
}

void TestMessageView::converter_data()
{
    QTest::addColumn<QString>("layout");    // text runs, '|' a new paragraph, '*' a picture
    QTest::addColumn<QStringList>("items"); // strings, "<image>" for a picture
    QTest::newRow("two paragraphs") << "a|b" << QStringList{"a", "b"};
    QTest::newRow("text picture text") << "x*y" << QStringList{"x", "<image>", "y"};
    QTest::newRow("two pictures") << "**" << QStringList{"<image>", "<image>"};
    QTest::newRow("empty") << "" << QStringList();
}

void TestMessageView::converter()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, items);
    QTextDocument document;
    QTextCursor cursor(&document);
    const QImage image = solidImage(20, 10);
    for (const QString& run : layout.split(QLatin1Char('|'))) {
        if (cursor.position() > 0)
            cursor.insertBlock();
        for (const QChar c : run) {
            if (c == QLatin1Char('*'))
                cursor.insertImage(image, QStringLiteral("pic"));
            else
                cursor.insertText(c);
        }
    }
    MessageFont font;
    font.size = 17;
    const MessagePackage package = DocumentConverter(&document, font).convert();

    QCOMPARE(package.font, font);
    QStringList seen;
    for (const QJsonValue& item : package.content) {
        if (item.isString()) {
            seen << item.toString();
            continue;
        }
        const QJsonArray tagged = item.toArray();
        QCOMPARE(tagged.at(0).toString(), QStringLiteral("image"));
        QCOMPARE(tagged.at(1).toObject().value("src").toString(), QStringLiteral("pic"));
        QCOMPARE(decodeImage(tagged.at(1).toObject().value("buffer").toString()).size(),
                 image.size());
        seen << QStringLiteral("<image>");
    }
    QCOMPARE(seen, items);
}

QTEST_MAIN(TestMessageView)
#include "tst_messageview.moc"
