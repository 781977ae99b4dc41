// SPDX-License-Identifier: MIT
// The chat pane with its engine on a real voice-server, with a voice-cli user, bob, as the
// other member of "tolvane_Chat", and the stand-in remote-desktop program beside the test as
// "AnyDesk_S.exe" and "AnyDesk_C.exe" (it records in a log beside it what it was started for).
// bob's messages are written by hand and what he receives is read as plain JSON, so the wire
// form is not checked against the code that makes it. One connection for the run; the cases
// build on each other's moves.
#include "chat/attention.h"
#include "chat/chatwidget.h"
#include "chat/fontwidget.h"
#include "chat/historypictures.h"
#include "chat/messageview.h"
#include "chat/screenshot.h"
#include "chat/sendtextedit.h"
#include "chat/teamspeak3serverinterface.h"
#include "connectclient.h"
#include "filehelpers.h"
#include "files/filesmodel.h"
#include "files/filewidget.h"
#include "framedtext.h"
#include "logrecorder.h"
#include "meeting/meetingwidget.h"
#include "tsclient/tssdkevents.h"
#include "voiceserverprocess.h"
#include "widgethelpers.h"

#include <QAccessible>
#include <QBuffer>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace MeetingSupport;

namespace {

QByteArray jpegBuffer(const QImage& image)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return qCompress(jpeg).toBase64(wireBase64);
}

QSize bufferSize(const QJsonValue& buffer)
{
    return QImage::fromData(
               qUncompress(QByteArray::fromBase64(buffer.toString().toLatin1(), wireBase64)), "JPG")
        .size();
}

// The pictures of a document, by their resources.
QList<QImage> pictures(QTextDocument* document)
{
    QList<QImage> found;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isImageFormat())
                found << qvariant_cast<QImage>(document->resource(
                    QTextDocument::ImageResource, QUrl(format.toImageFormat().name())));
        }
    }
    return found;
}

// The sizes of the history's pictures: kept compressed by the view, measured by their headers.
QList<QSize> shownPictures(MessageView* view)
{
    QList<QSize> found;
    for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isImageFormat())
                found << view->pictures()->originalSize(format.toImageFormat().name());
        }
    }
    return found;
}

QString beside(const QString& name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

QString program(char variant)
{
    return beside(QStringLiteral("AnyDesk_%1.exe").arg(variant));
}

// The stand-in's records so far.
QStringList standinLog(char variant)
{
    const QString log = beside(QStringLiteral("AnyDesk_%1.log").arg(variant));
    if (!QFile::exists(log))
        return {};
    return QString::fromUtf8(readFile(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString desktopId(char variant)
{
    QProcess query;
    query.start(program(variant), {QStringLiteral("--get-id")});
    query.waitForFinished();
    return QString::fromLatin1(query.readAllStandardOutput()).trimmed();
}

const QString started = QStringLiteral("The other remote component \"AnyDesk\" has been started.");

QJsonArray contentOf(const QJsonValue& message)
{
    return message.toObject().value("value").toObject().value("content").toArray();
}

} // namespace

class TestChatWidget : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server;
    TsSDKClient* m_client = nullptr;
    VoiceCliProcess m_bob;
    int m_bobId = 0;
    quint64 m_room = 0;
    QTemporaryDir m_work;
    std::unique_ptr<ChatWidget> m_pane;

    bool bobTo(quint64 channel)
    {
        m_bob.command({QStringLiteral("move"), m_bobId, double(channel), QString()});
        return QTest::qWaitFor(
                   [&] { return m_client->channelOfClient(anyID(m_bobId)) == channel; }) &&
               syncWithServer();
    }

    template <typename T = QWidget> T* child(const char* name) const
    {
        return m_pane->findChild<T*>(QLatin1String(name));
    }
    MessageView* view() const { return child<MessageView>("msgViewWidget"); }
    SendTextEdit* editor() const { return child<SendTextEdit>("msgInputWidget"); }

    void newPane(int role = 1)
    {
        m_pane.reset();
        m_client->setRole(role);
        m_pane = std::make_unique<ChatWidget>();
        m_pane->setChatInterface(new TeamSpeak3ServerInterface);
        m_pane->show();
    }

    void bobSends(const QByteArray& content)
    {
        sendFramedJson(m_bob, "{\"result\":[{\"poll_type\":\"remote_request\",\"value\":{"
                              "\"time\":\"1700000000000\",\"sender\":\"bob\",\"content\":" +
                                  content + "}}]}");
    }

    // The content of the one message bob receives next.
    QJsonArray bobReceives()
    {
        const QJsonArray messages = receiveFramedJson(m_bob, m_bobId);
        if (messages.size() != 1 ||
            messages.at(0).toObject().value("poll_type") != QStringLiteral("remote_request"))
            return {};
        return contentOf(messages.at(0));
    }

    // The colour of the pane's status line with this text; empty when there is none.
    QString statusColour(const QString& text) const
    {
        for (QTextBlock block = view()->document()->begin(); block.isValid();
             block = block.next()) {
            if (block.text() == text)
                return block.begin().fragment().charFormat().foreground().color().name();
        }
        return QString();
    }

    // True when every input is enabled, false when none is; a mix fails the test.
    bool inputsEnabled() const
    {
        int enabled = 0;
        const char* names[] = {"msgInputWidget", "btnSend",       "btnDevice_5",
                               "btnDevice_6",    "btnRemote",     "toolButtonImage",
                               "btnSendFile",    "btnScreenshot", "btnShareScreen"};
        for (const char* name : names)
            enabled += child(name)->isEnabled() ? 1 : 0;
        if (enabled != 0 && enabled != int(std::size(names)))
            qWarning() << enabled << "of the inputs enabled";
        return enabled == int(std::size(names));
    }

private slots:
    void initTestCase()
    {
        LogRecorder::install();
        for (char variant : {'S', 'C'})
            QFile::remove(beside(QStringLiteral("AnyDesk_%1.log").arg(variant)));
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
        // The font bar keeps its choice in the settings: every run starts from the defaults.
        QSettings().clear();
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        m_client = TsSDKClient::instance();
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));
        QVERIFY(m_bob.start());
        QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
        m_bobId =
            m_bob.command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
        m_bob.command(
            {QStringLiteral("createchannel"), QStringLiteral("tolvane_Chat"), QString(), 1});
        QVERIFY(QTest::qWaitFor([&] { return m_client->channelIdByName("tolvane_Chat") != 0; }));
        m_room = m_client->channelIdByName(QStringLiteral("tolvane_Chat"));
        QVERIFY(bobTo(1));
        m_client->moveToChannel(QStringLiteral("tolvane_Chat"), QString());
        QTRY_COMPARE(m_client->currentChannelName(), QStringLiteral("tolvane_Chat"));

        newPane();
        QVERIFY(QTest::qWaitForWindowExposed(m_pane.get()));
    }

    void sending()
    {
        // Alone in the room: nothing to write, and a message forced out stays here.
        QVERIFY(!inputsEnabled());
        editor()->setPlainText(QStringLiteral("alone"));
        LogRecorder::take();
        QVERIFY(QMetaObject::invokeMethod(m_pane.get(), "_q_sendMessage"));
        QVERIFY(LogRecorder::take().filter(QStringLiteral("peerID:")).isEmpty());
        // A remote-desktop request that finds the room empty (the button pressed as the last
        // other member left) is held back, and the line says so instead of "sent".
        child("btnRemote")->setEnabled(true);
        child<QToolButton>("btnRemote")->click();
        QTRY_COMPARE(
            statusColour("Nobody else is in the meeting: the remote request was not sent."),
            QStringLiteral("#ff7f24"));
        QCOMPARE(statusColour("Remote request has been send, please wait for the reply..."),
                 QString());

        QVERIFY(bobTo(m_room));
        QTRY_VERIFY(inputsEnabled());
        m_pane->repaint();
        QVERIFY(inputsEnabled());

        editor()->clear();
        const QString before = view()->toPlainText();
        child<QPushButton>("btnSend")->click();
        QCOMPARE(view()->toPlainText(), before);

        // Bold from the font bar travels with the text; Return sends it once.
        child<QToolButton>("toolButtonFont")->click();
        auto* fontBar = m_pane->findChild<FontWidget*>();
        QVERIFY(fontBar->isVisible());
        fontBar->findChild<QToolButton*>(QStringLiteral("toolButtonTextBold"))->click();
        child<QToolButton>("toolButtonFont")->click();
        QVERIFY(!fontBar->isVisible());
        editor()->setFocus();
        QTest::keyClicks(editor(), QStringLiteral("hello bob"));
        QTest::keyClick(editor(), Qt::Key_Return);
        QVERIFY(editor()->document()->isEmpty());
        QCOMPARE(view()->toPlainText().count(QStringLiteral("hello bob")), 1);

        const QJsonArray got = receiveFramedJson(m_bob, m_bobId);
        QCOMPARE(got.size(), 1);
        QCOMPARE(got.at(0).toObject().value("poll_type"), QStringLiteral("message"));
        QCOMPARE(got.at(0).toObject().value("value").toObject().value("sender"),
                 QStringLiteral("anna"));
        const QJsonArray content = contentOf(got.at(0));
        QCOMPARE(content.size(), 2);
        QCOMPARE(content.at(0).toArray().at(0), QStringLiteral("font"));
        QCOMPARE(content.at(0).toArray().at(1).toObject().value("style").toInt(),
                 int(MessageFont::Bold));
        QCOMPARE(content.at(1), QStringLiteral("hello bob"));
        QVERIFY(receivesNothingMore(m_bob, m_bobId));

        // A paste longer than one message may be is refused, and the pane says why.
        QGuiApplication::clipboard()->setText(QString(maxMessageCharacters + 1, QLatin1Char('x')));
        editor()->paste();
        QVERIFY(editor()->document()->isEmpty());
        QCOMPARE(statusColour(QStringLiteral("This text is too long to send: one message holds at "
                                             "most %1 characters.")
                                  .arg(QLocale().toString(maxMessageCharacters))),
                 QStringLiteral("#ff7f24"));

        QVERIFY(bobTo(1));
        QTRY_VERIFY(!child("btnSend")->isEnabled());
        QVERIFY(!inputsEnabled());
        QVERIFY(bobTo(m_room));
        QTRY_VERIFY(inputsEnabled());
    }

    void receiving()
    {
        QImage shot(40, 30, QImage::Format_RGB32);
        shot.fill(Qt::darkGreen);
        const int before = shownPictures(view()).size();
        sendFramedJson(m_bob, "{\"result\":[{\"poll_type\":\"message\",\"value\":{"
                              "\"time\":\"1700000000000\",\"sender\":\"bob\",\"receiver\":\"\","
                              "\"content\":[[\"font\",{\"size\":14,\"style\":2,\"color\":"
                              "\"#ff0000\",\"name\":\"Serif\"}],\"look here\",[\"image\",{\"src\":"
                              "\"file:///nowhere/shot.png\",\"buffer\":\"" +
                                  jpegBuffer(shot) + "\"}]]}}]}");
        QTRY_VERIFY(view()->toPlainText().contains(QStringLiteral("look here")));
        const QList<QSize> shown = shownPictures(view());
        QCOMPARE(shown.size(), before + 1);
        QCOMPARE(shown.last(), QSize(40, 30));
        const QTextCursor at = view()->document()->find(QStringLiteral("look here"));
        QVERIFY(at.charFormat().fontItalic());
        QCOMPARE(at.charFormat().foreground().color(), QColor(Qt::red));

        // An invitation, a shake and an unknown type in one text: two log lines, nothing shown.
        const QString shownText = view()->toPlainText();
        LogRecorder::take();
        sendFramedJson(m_bob, "{\"result\":[{\"poll_type\":\"meeting_request\",\"value\":{"
                              "\"content\":[\"request\",{\"channel_name\":\"tolvane_Chat\"}]}},"
                              "{\"poll_type\":\"bogus\",\"value\":{\"content\":[\"x\"]}},"
                              "{\"poll_type\":\"shake_message\",\"value\":{}}]}");
        QStringList log;
        QTRY_VERIFY((log += LogRecorder::take()).contains(QStringLiteral("Unknown message...")));
        QCOMPARE(log.count(QStringLiteral("Empty message...")), 1);
        QCOMPARE(log.count(QStringLiteral("Unknown message...")), 1);
        QCOMPARE(view()->toPlainText(), shownText);

        // The server could not deliver a text of ours (each of its fragments fails alike): one
        // red line says so; other server errors show nothing, as before.
        const QString undelivered = QStringLiteral(
            "A message did not reach everyone it was for (channel 7): the servers lost touch "
            "meanwhile. Please send it again.");
        for (int fragment = 0; fragment < 3; ++fragment)
            TsSDKEvents::onServerErrorEvent(1, "text not delivered to every recipient",
                                            ERROR_server_text_not_delivered, "", "channel 7");
        TsSDKEvents::onServerErrorEvent(1, "invalid parameter", ERROR_parameter_invalid, "",
                                        "channel 7");
        QCOMPARE(view()->toPlainText().count(undelivered), 1);
        QCOMPARE(statusColour(undelivered), QStringLiteral("#ff3030"));
        QCOMPARE(view()->toPlainText().count(QStringLiteral("invalid parameter")), 0);
    }

    void sharedFiles()
    {
        auto* pane = m_pane->findChild<FileWidget*>();
        QVERIFY(!pane->isVisible());
        child<QToolButton>("btnSendFile")->click();
        QVERIFY(pane->isVisible() && pane->isWindow());

        // bob's uploads reach the list through his notice.
        const QString folder = m_work.filePath(QStringLiteral("bob"));
        const QStringList names{"a.txt", "b.txt", "c.txt"};
        for (const QString& name : names) {
            QVERIFY(writeFile(folder + "/" + name, name.toUtf8()));
            const int id = m_bob
                               .command({QStringLiteral("upload"), double(m_room), QString(),
                                         QStringLiteral("/tolvane_Chat/files/") + name, folder})
                               .value(QStringLiteral("transferID"))
                               .toInt();
            QVERIFY(!m_bob
                         .waitForEvent(QStringLiteral("onFileTransferStatusEvent"),
                                       [id](const QJsonObject& e) {
                                           return e.value(QStringLiteral("transferID")) == id;
                                       })
                         .isEmpty());
        }
        sendFramedJson(m_bob, "{\"result\":[{\"poll_type\":\"file_message\",\"value\":{"
                              "\"sender\":\"bob\",\"content\":[[\"file\",{\"name\":\"c.txt\","
                              "\"cmd\":\"upload\"}]]}}]}");
        QTRY_COMPARE(pane->model()->rowCount(), 3);
        QVERIFY(view()->toPlainText().contains(QStringLiteral("bob upload a new file: c.txt")));

        // Three deletes, one notice naming them all; our own view does not show it.
        const QString shown = view()->toPlainText();
        emit pane->deleteFiles(names);
        QCOMPARE(pane->model()->rowCount(), 0);
        const QJsonArray deleted = receiveFramedJson(m_bob, m_bobId);
        QCOMPARE(deleted.size(), 1);
        QCOMPARE(deleted.at(0).toObject().value("poll_type"), QStringLiteral("file_message"));
        QJsonArray expected;
        for (const QString& name : names)
            expected.append(QJsonArray{"file", QJsonObject{{"name", name}, {"cmd", "delete"}}});
        QCOMPARE(contentOf(deleted.at(0)), expected);
        QCOMPARE(view()->toPlainText(), shown);
        pane->hide();
    }

    void attentionAndKeyboard()
    {
        // A message that arrives while the user works in another window flashes the task bar
        // entry; one that arrives while the pane's window is active does not.
        QList<QWidget*> alerted;
        setAttentionHandler([&alerted](QWidget* window) { alerted << window; });
        const auto bobWrites = [this](const QString& text) {
            sendFramedJson(m_bob, "{\"result\":[{\"poll_type\":\"message\",\"value\":{"
                                  "\"sender\":\"bob\",\"content\":[\"" +
                                      text.toUtf8() + "\"]}}]}");
            QTRY_VERIFY(view()->toPlainText().contains(text));
        };
        m_pane->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_pane.get()));
        bobWrites(QStringLiteral("while here"));
        QVERIFY(alerted.isEmpty());
        {
            QWidget elsewhere;
            elsewhere.show();
            elsewhere.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
            bobWrites(QStringLiteral("while away"));
            QCOMPARE(alerted, QList<QWidget*>{m_pane.get()});
        }
        setAttentionHandler({});

        // Icon-only buttons carry names a screen reader says and tips; the microphone and
        // speakers say whether they are on.
        for (const char* name :
             {"toolButtonFont", "btnDevice_5", "btnDevice_6", "btnRemote", "btnShareScreen",
              "btnSendFile", "toolButtonImage", "btnScreenshot"}) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(child(name));
            QVERIFY2(!accessible->text(QAccessible::Name).isEmpty(), name);
            QVERIFY2(!child(name)->toolTip().isEmpty(), name);
        }
        TsSDKInterface* sdk = m_client->sdk();
        auto* microphone = child<QToolButton>("btnDevice_5");
        for (int click = 0; click < 2; ++click) {
            microphone->click();
            const bool on = !sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED);
            QCOMPARE(QAccessible::queryAccessibleInterface(microphone)->state().checked, on);
            QVERIFY(microphone->toolTip().contains(on ? QStringLiteral("is on")
                                                      : QStringLiteral("is off")));
        }

        // Tab goes through the pane in reading order, and leaves the editor for Send.
        m_pane->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_pane.get()));
        m_pane->focusEditor();
        QCOMPARE(QApplication::focusWidget(), editor());
        QTest::keyClick(editor(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), child("btnSend"));
        QStringList order;
        QWidget* stop = view();
        do {
            if (stop->isVisible() && stop->isEnabled() && (stop->focusPolicy() & Qt::TabFocus))
                order << (stop->objectName().isEmpty() ? qobject_cast<QPushButton*>(stop)->text()
                                                       : stop->objectName());
            stop = stop->nextInFocusChain();
        } while (stop != view() && m_pane->isAncestorOf(stop));
        QCOMPARE(order,
                 (QStringList{"msgViewWidget", "toolButtonFont", "btnDevice_5", "btnDevice_6",
                              "btnRemote", "btnShareScreen", "btnSendFile", "toolButtonImage",
                              "btnScreenshot", "msgInputWidget", "btnSend", "Close"}));
    }

    void devicesAndConnection()
    {
        TsSDKInterface* sdk = m_client->sdk();
        const struct
        {
            const char* button;
            int flag;
            const char* on;
            const char* off;
        } devices[] = {{"btnDevice_5", CLIENT_INPUT_MUTED, ":/qml/images/micro_o.png",
                        ":/qml/images/micro_c.png"},
                       {"btnDevice_6", CLIENT_OUTPUT_MUTED, ":/qml/images/volume_o.png",
                        ":/qml/images/volume_c.png"}};
        for (const auto& device : devices) {
            for (int click = 0; click < 2; ++click) {
                const bool wasMuted = sdk->getClientSelfVariableAsInt(device.flag);
                child<QToolButton>(device.button)->click();
                QCOMPARE(bool(sdk->getClientSelfVariableAsInt(device.flag)), !wasMuted);
                QVERIFY(showsIcon(child<QToolButton>(device.button)->icon(),
                                  wasMuted ? device.on : device.off));
            }
        }

        // A lost connection disables the inputs, and neither a count without a connection
        // nor a connection without a new count brings them back.
        TeamSpeak3ServerInterface* engine = m_pane->chatInterface();
        emit engine->connectStatusChanged(STATUS_DISCONNECTED);
        QVERIFY(!inputsEnabled());
        emit engine->channelMemberChanged(2);
        QVERIFY(!inputsEnabled());
        emit engine->connectStatusChanged(STATUS_CONNECTED);
        QVERIFY(!inputsEnabled());
        emit engine->channelMemberChanged(2);
        QVERIFY(inputsEnabled());
    }

    // The program's own role after connecting (3) writes by the member count, which nothing
    // recounts while the connection is down: a reconnect attempt, and a connection whose room
    // has not been counted yet, leave the pane off.
    void reconnecting()
    {
        newPane(3);
        QVERIFY(inputsEnabled());
        QList<QPair<int, bool>> seen; // each status with the inputs right after the pane took it
        const QMetaObject::Connection watching =
            connect(m_pane->chatInterface(), &TeamSpeak3ServerInterface::connectStatusChanged,
                    m_pane.get(), [&](int status) {
                        seen.append({status, inputsEnabled()});
                    });
        const auto unwatch = qScopeGuard([&] { disconnect(watching); });
        const auto reachStatus = [&](int status) {
            return QTest::qWaitFor([&] { return !seen.isEmpty() && seen.last().first == status; },
                                   10000);
        };
        TsParameters params = m_client->parameters();
        m_client->disconnectFromServer();
        QVERIFY(reachStatus(STATUS_DISCONNECTED));

        // An attempt that finds nobody listening: connecting, then lost again.
        QTcpServer vacant;
        QVERIFY(vacant.listen(QHostAddress::LocalHost));
        params.setPort(vacant.serverPort());
        vacant.close();
        seen.clear();
        m_client->connectToServer(params);
        m_client->setRole(3);
        QVERIFY(reachStatus(STATUS_DISCONNECTED));
        QCOMPARE(seen.first().first, int(STATUS_CONNECTING));

        // Back on the server, in the lobby: a room counted once more decides.
        params.setPort(m_server.port());
        m_client->connectToServer(params);
        m_client->setRole(3);
        QVERIFY(reachStatus(STATUS_CONNECTION_ESTABLISHED));
        QVERIFY(syncWithServer());
        for (const auto& [status, enabled] : qAsConst(seen))
            QVERIFY2(!enabled, qPrintable(QStringLiteral("inputs on at status %1").arg(status)));
        QVERIFY(!inputsEnabled());
        m_client->moveToChannel(QStringLiteral("tolvane_Chat"), QString());
        QTRY_VERIFY(inputsEnabled());
        m_client->setRole(1);
    }

    void fontBarScrollsToTheEnd()
    {
        for (int i = 0; i < 60; ++i)
            m_pane->onLogerMessage(QStringLiteral("line %1").arg(i), QtInfoMsg);
        QScrollBar* bar = view()->verticalScrollBar();
        for (int click = 0; click < 2; ++click) {
            bar->setValue(0);
            child<QToolButton>("toolButtonFont")->click();
            QCoreApplication::processEvents();
            QVERIFY(bar->maximum() > 0);
            QCOMPARE(bar->value(), bar->maximum());
        }
    }

    void picturesAndCaptures()
    {
        const QString chosen = m_work.filePath(QStringLiteral("chosen.png"));
        QImage picture(24, 16, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        QVERIFY(picture.save(chosen));
        QString caption;
        onNextDialog([&caption, chosen](QDialog* dialog) {
            caption = dialog->windowTitle();
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(chosen);
            dialog->accept();
        });
        child<QToolButton>("toolButtonImage")->click();
        QCOMPARE(caption, QStringLiteral("Select Images"));

        // A capture lands in the editor too; both pictures travel.
        child<QToolButton>("btnScreenshot")->click();
        Screenshot* capture = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets())
            capture = capture ? capture : qobject_cast<Screenshot*>(window);
        QVERIFY(capture && capture->isVisible());
        QImage screen(32, 20, QImage::Format_RGB32);
        screen.fill(Qt::darkYellow);
        emit capture->shootScreen(screen);
        capture->close();
        QCOMPARE(pictures(editor()->document()).size(), 2);
        child<QPushButton>("btnSend")->click();

        QList<QJsonObject> images;
        for (const QJsonValue& item : contentOf(receiveFramedJson(m_bob, m_bobId).at(0))) {
            if (item.toArray().at(0) == QStringLiteral("image"))
                images << item.toArray().at(1).toObject();
        }
        QCOMPARE(images.size(), 2);
        QCOMPARE(images.at(0).value("src"), QUrl::fromLocalFile(chosen).toString());
        QCOMPARE(bufferSize(images.at(0).value("buffer")), QSize(24, 16));
        QCOMPARE(images.at(1).value("src"), QStringLiteral("dropped_image_1"));
        QCOMPARE(bufferSize(images.at(1).value("buffer")), QSize(32, 20));
    }

    void historyReplay()
    {
        const QString caseId = QStringLiteral("replay-%1").arg(QCoreApplication::applicationPid());
        const QString file =
            TeamSpeak3ServerInterface::messageCacheDirectory() + "/" + caseId + ".json";
        QVERIFY(writeFile(file, "{\"result\":["
                                "{\"poll_type\":\"message\",\"value\":{\"content\":[\"first\"]}},"
                                "{\"poll_type\":\"file_message\",\"value\":{\"content\":"
                                "[[\"file\",{\"name\":\"x\",\"cmd\":\"delete\"}]]}},"
                                "{\"poll_type\":\"group_message\",\"value\":{\"content\":"
                                "[\"second\"]}}]}"));
        LogRecorder::take();
        ChatWidget pane;
        pane.setChatInterface(new TeamSpeak3ServerInterface(caseId, QStringLiteral("peer")));
        const QString shown = pane.findChild<MessageView*>()->toPlainText();
        QVERIFY(shown.contains(QStringLiteral("first")) &&
                shown.contains(QStringLiteral("second")));
        QVERIFY(!shown.contains(QStringLiteral("delete")));
        QCOMPARE(LogRecorder::take().count(QStringLiteral("Filter History Message")), 1);
        QFile::remove(file);
    }

    // Every case starts with both programs in place, as the build installs them.
    void init()
    {
        for (char variant : {'S', 'C'}) {
            QFile::remove(program(variant));
            QVERIFY(QFile::copy(VoiceServerProcess::binary(QStringLiteral("remote-standin")),
                                program(variant)));
        }
    }

    void requestAndReply()
    {
        newPane();
        QVERIFY(child("btnRemote")->isVisible() && child("btnRemote")->isEnabled());
        child<QToolButton>("btnRemote")->click();
        QCOMPARE(bobReceives(), (QJsonArray{"request", QJsonObject()}));
        QCOMPARE(statusColour("Remote request has been send, please wait for the reply..."),
                 QStringLiteral("#1e90ff"));

        // bob's ID starts our program towards his desktop.
        bobSends("[\"reply\",{\"app_name\":\"AnyDesk\",\"cid\":\"555000111\"}]");
        QTRY_COMPARE(statusColour(started + "cid: 555000111"), QStringLiteral("#1e90ff"));
        QTRY_COMPARE(standinLog('S').size(), 1);
        QVERIFY(standinLog('S').last().endsWith(QStringLiteral(" connects to 555000111")));

        // bob asks in turn: the program runs already, so our ID goes back each time without a
        // second start.
        const QString ownId = desktopId('S');
        QVERIFY(!ownId.isEmpty() && ownId != QLatin1String("0"));
        for (int round = 0; round < 2; ++round) {
            bobSends("[\"request\",{}]");
            QCOMPARE(bobReceives(),
                     (QJsonArray{"reply", QJsonObject{{"app_name", "AnyDesk"}, {"cid", ownId}}}));
        }
        QCOMPARE(standinLog('S').size(), 1);
    }

    void startedUserAnswersItsOwnRequest()
    {
        // Role 3 sends no request: its program starts and the reply goes out at once.
        newPane(3);
        const int records = standinLog('S').size();
        child<QToolButton>("btnRemote")->click();
        QCOMPARE(bobReceives(), (QJsonArray{"reply", QJsonObject{{"app_name", "AnyDesk"},
                                                                 {"cid", desktopId('S')}}}));
        QTRY_COMPARE(standinLog('S').size(), records + 1);
        QVERIFY(standinLog('S').last().endsWith(QStringLiteral(" is waiting to be reached")));
    }

    void replyWithoutUsableId_data()
    {
        QTest::addColumn<QByteArray>("cid");
        QTest::newRow("zero") << QByteArray("\"0\"");
        QTest::newRow("signed") << QByteArray("\"+42\"");
        QTest::newRow("option") << QByteArray("\"42 --help\"");
        QTest::newRow("shell") << QByteArray("\"$(touch pwned); 7\"");
        QTest::newRow("number") << QByteArray("42");
    }
    void replyWithoutUsableId()
    {
        QFETCH(QByteArray, cid);
        newPane();
        const int records = standinLog('S').size();
        bobSends("[\"reply\",{\"app_name\":\"AnyDesk\",\"cid\":" + cid + "}]");
        QTRY_COMPARE(standinLog('S').size(), records + 1);
        // Started, but towards nobody.
        QVERIFY(standinLog('S').last().endsWith(QStringLiteral(" is waiting to be reached")));
        const QString shownId =
            cid.startsWith('"') ? QString::fromLatin1(cid.mid(1, cid.size() - 2)) : QString();
        QTRY_COMPARE(statusColour(started + "cid: " + shownId), QStringLiteral("#1e90ff"));
        QVERIFY(!QFile::exists(QStringLiteral("pwned")));
    }

    void programMissing()
    {
        // Forced to the program: without it the built-in screens would answer.
        QSettings().setValue(QStringLiteral("remote/launcher"), QStringLiteral("external"));
        QVERIFY(QFile::remove(program('S')));
        newPane();
        child<QToolButton>("btnRemote")->click();
        QTRY_COMPARE(statusColour("No valid remote component, remote request can't be send."),
                     QStringLiteral("#ff3030"));
        QVERIFY(receivesNothingMore(m_bob, m_bobId));

        bobSends("[\"request\",{}]");
        QCOMPARE(bobReceives(),
                 (QJsonArray{"reply",
                             QJsonObject{{"app_name", "AnyDesk"},
                                         {"error", "Invoke AnyDesk failed.\nPlease confirm with "
                                                   "the user whether Anydesk exists!"}}}));

        bobSends("[\"reply\",{\"app_name\":\"AnyDesk\",\"cid\":\"555000111\"}]");
        const QString error =
            QStringLiteral("The other remote component \"AnyDesk\" has an error: ");
        QTRY_COMPARE(statusColour(error + "AnyDesk App not exists..."), QStringLiteral("#ff3030"));
        // The other side's error is shown as text; other programs and odd tags show nothing.
        bobSends("[\"reply\",{\"app_name\":\"AnyDesk\",\"error\":\"<b>no</b> desktop\"}]");
        QTRY_COMPARE(statusColour(error + "<b>no</b> desktop"), QStringLiteral("#ff3030"));
        const QString shown = view()->toPlainText();
        LogRecorder::take();
        bobSends("[\"reply\",{\"app_name\":\"TeamViewer\",\"cid\":\"7\"}]");
        bobSends("[\"reply\"]");
        bobSends("[\"pardon\",{}]");
        QTRY_VERIFY(LogRecorder::has(QStringLiteral("Unknown Remote Request: pardon")));
        QCOMPARE(view()->toPlainText(), shown);
        QSettings().remove(QStringLiteral("remote/launcher"));
    }

    void supporterPane()
    {
        // A supporter's messages always go out: alone in the room, the inputs still take them.
        QVERIFY(bobTo(1));
        newPane(2);
        QVERIFY(child("btnRemote")->isHidden());
        m_pane->repaint();
        QVERIFY(editor()->isEnabled() && child("btnSend")->isEnabled());
        // Only while the connection is really up: not at a reconnect attempt, and once back,
        // from the moment the own client has a place again.
        TeamSpeak3ServerInterface* engine = m_pane->chatInterface();
        emit engine->connectStatusChanged(STATUS_DISCONNECTED);
        QVERIFY(!editor()->isEnabled());
        emit engine->connectStatusChanged(STATUS_CONNECTING);
        QVERIFY(!editor()->isEnabled());
        emit engine->connectStatusChanged(STATUS_CONNECTED);
        emit engine->channelMemberChanged(1);
        QVERIFY(editor()->isEnabled());
        QVERIFY(bobTo(m_room));
        // A supporter answers with the other program.
        bobSends("[\"request\",{}]");
        QCOMPARE(bobReceives().at(1).toObject().value("cid").toString(), desktopId('C'));
        QTRY_COMPARE(standinLog('C').size(), 1);
    }

    void closingTheMeetingWhileARequestWaits()
    {
        m_pane.reset();
        // A program that never tells its ID: the launcher keeps asking while the event loop runs.
        QVERIFY(QFile::remove(program('S')));
        QVERIFY(writeFile(program('S'), "#!/bin/sh\n[ \"$1\" = --get-id ] && { echo 0; exit; }\n"
                                        "exec sleep 600\n"));
        QVERIFY(QFile::setPermissions(program('S'), QFile::ReadOwner | QFile::ExeOwner));
        m_client->setRole(1);
        QPointer<MeetingWidget> meeting = new MeetingWidget(nullptr);
        meeting->show();
        LogRecorder::take();
        // Closed from within the launcher's wait, as a user would, with a second request queued.
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (meeting && LogRecorder::has(QStringLiteral("at attempt 1"))) {
                closer.stop();
                meeting->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close)->click();
            }
        });
        closer.start(50);
        bobSends("[\"request\",{}]");
        bobSends("[\"request\",{}]");
        QTRY_VERIFY_WITH_TIMEOUT(meeting.isNull(), 10000);
        QCOMPARE(LogRecorder::take().filter(QStringLiteral("at attempt")).size(), 1);
        QVERIFY(receivesNothingMore(m_bob, m_bobId));
        QTRY_COMPARE(m_client->currentChannelName(), QStringLiteral("Default Channel"));
    }

    void cleanupTestCase()
    {
        m_pane.reset();
        for (char variant : {'S', 'C'})
            QFile::remove(program(variant));
    }
};

QTEST_MAIN(TestChatWidget)
#include "tst_chatwidget.moc"
