// SPDX-License-Identifier: MIT
// bench_chat_picture: a chat message carrying a picture of about 1 MiB of JPEG data, from one
// user's chat engine to another's through a real voice-server and the whole client stack:
// engine, message list and Base64, text framing, server, the peer's reassembly, parseMessages
// and decodeImage. Beside it, in the same run, the plain text relay of the SDK's C API moves the
// same number of characters in 1024-character texts between two other users, and a chat message
// of plain text as long on the wire takes the same road as the picture (all but decodeImage).
// One untimed warm-up round of each, then rounds that alternate them; prints best and median of
// each and the ratios. BENCH_ROUNDS sets the number of timed rounds, BENCH_VERBOSE prints every
// round.
//
// The voice client is one per process, so the users live in three processes: this one (the
// peer, which times), a sender (this program with --send) and the two plain relay users
// (--plain). Commands and answers travel as lines on their standard input and output.
#include "chat/chatmessage.h"
#include "chat/teamspeak3serverinterface.h"
#include "connectclient.h"
#include "tsclient/textframing.h"
#include "voiceserverprocess.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <vector>

using namespace MeetingSupport;

namespace {

constexpr int DefaultRounds = 9;
constexpr qint64 PictureBytes = 1024 * 1024;
constexpr int TimeoutMs = 60000;

void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // The engine's trace lines would only measure the terminal.
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A noisy picture whose JPEG form is about PictureBytes long: noise, so that JPEG cannot make it
// small, at a side found by a few measurements.
QImage picture(qint64* jpegBytes)
{
    QRandomGenerator random(20240601);
    int side = 700;
    QImage image;
    for (int attempt = 0; attempt < 4; ++attempt) {
        image = QImage(side, side, QImage::Format_RGB32);
        for (int y = 0; y < side; ++y) {
            auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
            for (int x = 0; x < side; ++x)
                line[x] = random.generate() | 0xFF000000u;
        }
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPG");
        *jpegBytes = jpeg.size();
        side = int(side * std::sqrt(double(PictureBytes) / double(jpeg.size())));
    }
    return image;
}

// Runs handler on every line that arrives on standard input.
class StdinLines : public QObject
{
public:
    explicit StdinLines(std::function<void(const QByteArray&)> handler)
        : m_notifier(STDIN_FILENO, QSocketNotifier::Read), m_handler(std::move(handler))
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] {
            char chunk[4096];
            const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (got <= 0) {
                QCoreApplication::exit(0);
                return;
            }
            m_buffer.append(chunk, int(got));
            int end;
            while ((end = m_buffer.indexOf('\n')) >= 0) {
                const QByteArray line = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                m_handler(line);
            }
        });
    }

private:
    QSocketNotifier m_notifier;
    QByteArray m_buffer;
    std::function<void(const QByteArray&)> m_handler;
};

void answer(const QByteArray& line)
{
    std::fprintf(stdout, "%s\n", line.constData());
    std::fflush(stdout);
}

// --send port: the user who sends the picture ("picture") or a text message as long on the
// wire ("text").
int runSender(quint16 port)
{
    if (!connectVoiceClient(port, QStringLiteral("sender")))
        return 1;
    qint64 jpegBytes = 0;
    ChatMessage message;
    message.info.setSender(QStringLiteral("sender"));
    message.package.appendText(QStringLiteral("a picture"));
    message.package.appendImage(QStringLiteral("file:///bench/noise.jpg"), picture(&jpegBytes));
    const QString text = messagesToText({message});
    // 'x' stays one character in JSON: the words make up for the picture's share.
    ChatMessage words;
    words.info = message.info;
    words.package.appendText(QString());
    const int missing = serializeMessages(message).size() - serializeMessages(words).size();
    words.package.content = QJsonArray{QString(missing, QLatin1Char('x'))};
    TeamSpeak3ServerInterface engine;
    if (engine.memberCount() < 2)
        return 1;
    StdinLines lines([&](const QByteArray& line) {
        if (line == "picture")
            engine.sendMessage(message);
        else if (line == "text")
            engine.sendMessage(words);
        else if (line == "quit")
            QCoreApplication::exit(0);
    });
    answer(QStringLiteral("ready %1 %2 %3 %4")
               .arg(jpegBytes)
               .arg(text.size())
               .arg(TextFraming::frame(text).size())
               .arg(messagesToText({words}).size())
               .toUtf8());
    return QCoreApplication::exec();
}

// --plain port: two users in a channel of their own; "run count length" sends count texts of
// length characters from one to the channel and answers the milliseconds until the other had
// them all.
std::mutex g_mutex;
std::condition_variable g_changed;
int g_status[3] = {};
uint64 g_receiver = 0;
int g_received = 0;
int g_echoed = 0;
uint64 g_createdChannel = 0;

template <typename Predicate> bool waitUntil(Predicate predicate)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::milliseconds(TimeoutMs), predicate);
}

int runPlain(quint16 port)
{
    ClientUIFunctions functions = {};
    functions.onConnectStatusChangeEvent = [](uint64 h, int status, unsigned int) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_status[h % 3] = status;
        g_changed.notify_all();
    };
    functions.onTextMessageEvent = [](uint64 h, anyID, anyID, anyID, const char*, const char*,
                                      const char*) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++(h == g_receiver ? g_received : g_echoed);
        g_changed.notify_all();
    };
    functions.onNewChannelCreatedEvent = [](uint64, uint64 channel, uint64, anyID, const char*,
                                            const char*) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_createdChannel = channel;
        g_changed.notify_all();
    };
    uint64 sender = 0;
    if (ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr) != ERROR_ok ||
        ts3client_spawnNewServerConnectionHandler(0, &sender) != ERROR_ok ||
        ts3client_spawnNewServerConnectionHandler(0, &g_receiver) != ERROR_ok)
        return 1;
    for (uint64 h : {sender, g_receiver}) {
        if (ts3client_startConnection(h, "plain", "127.0.0.1", port,
                                      h == sender ? "plain sender" : "plain receiver", nullptr,
                                      nullptr, "mossel") != ERROR_ok ||
            !waitUntil([h] { return g_status[h % 3] == STATUS_CONNECTION_ESTABLISHED; }))
            return 1;
    }
    // A channel of their own, so that the picture's texts never reach them nor theirs the peer.
    if (ts3client_setChannelVariableAsString(sender, 0, CHANNEL_NAME, "plain relay") != ERROR_ok ||
        ts3client_flushChannelCreation(sender, 0, nullptr) != ERROR_ok ||
        !waitUntil([] { return g_createdChannel != 0; }))
        return 1;
    for (uint64 h : {sender, g_receiver}) {
        anyID self = 0;
        uint64 channel = 0;
        ts3client_getClientID(h, &self);
        ts3client_requestClientMove(h, self, g_createdChannel, "", nullptr);
        QElapsedTimer wait;
        wait.start();
        while (ts3client_getChannelOfClient(h, self, &channel) == ERROR_ok &&
               channel != g_createdChannel && wait.elapsed() < TimeoutMs)
            QThread::msleep(5);
        if (channel != g_createdChannel)
            return 1;
    }
    int expected = 0;
    StdinLines lines([&](const QByteArray& line) {
        const QList<QByteArray> words = line.split(' ');
        if (words.value(0) != "run") {
            QCoreApplication::exit(0);
            return;
        }
        const int count = words.value(1).toInt();
        const QByteArray text(words.value(2).toInt(), 'x');
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i)
            ts3client_requestSendChannelTextMsg(sender, text.constData(), g_createdChannel,
                                                nullptr);
        expected += count;
        const bool ok = waitUntil([&] { return g_received >= expected; });
        const double ms = timer.nsecsElapsed() / 1e6;
        waitUntil([&] { return g_echoed >= expected; });
        answer(ok ? QByteArray::number(ms, 'f', 3) : QByteArray("-1"));
    });
    answer("ready");
    const int result = QCoreApplication::exec();
    ts3client_destroyClientLib();
    return result;
}

// A child process of this program, spoken to by lines.
class Child
{
public:
    bool start(const QString& role, quint16 port)
    {
        m_process.setWorkingDirectory(m_home.path());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(), {role, QString::number(port)});
        return m_process.waitForStarted();
    }
    void send(const QByteArray& line) { m_process.write(line + '\n'); }
    QByteArray read()
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine() && timer.elapsed() < TimeoutMs &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(100);
        return m_process.readLine().trimmed();
    }
    ~Child()
    {
        send("quit");
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QTemporaryDir m_home; // for the identity file each voice client keeps
    QProcess m_process;
};

int runPeer()
{
    // One picture is some 1,800 texts, well within the server's flood burst; rounds back to back
    // would wait for the bucket to refill, which is not what is measured here.
    VoiceServerProcess server({QStringLiteral("--flood-burst"), QStringLiteral("1000000"),
                               QStringLiteral("--flood-rate"), QStringLiteral("1000000")});
    if (!server.start()) {
        std::fprintf(stderr, "bench_chat_picture: voice-server did not start\n%s\n",
                     qPrintable(server.log()));
        return 1;
    }
    QTemporaryDir home;
    QDir::setCurrent(home.path());
    if (!connectVoiceClient(server.port(), QStringLiteral("peer"))) {
        std::fprintf(stderr, "bench_chat_picture: the peer could not connect\n");
        return 1;
    }
    QElapsedTimer clock;
    double arrived = 0, parsed = 0, decoded = 0; // ms on clock
    bool pictureShown = false;
    int wordsSeen = 0;
    // Connected before the engine, so this hears each whole text first.
    QObject::connect(TsSDKClient::instance(), &TsSDKClient::onReceiveTextMessage, qApp,
                     [&] { arrived = clock.nsecsElapsed() / 1e6; });
    TeamSpeak3ServerInterface engine;
    // What the chat pane does with a message (parseMessages ran in the engine): the picture
    // is decoded from its "buffer".
    QObject::connect(
        &engine, &TeamSpeak3ServerInterface::newMessage, [&](const QList<ChatMessage>& messages) {
            parsed = clock.nsecsElapsed() / 1e6;
            for (const ChatMessage& message : messages) {
                if (message.package.content.size() == 1)
                    wordsSeen = message.package.content.at(0).toString().size();
                for (const QJsonValue& item : message.package.content) {
                    const QJsonArray tagged = item.toArray();
                    if (tagged.at(0) != QLatin1String("image"))
                        continue;
                    const QImage image = decodeImage(
                        tagged.at(1).toObject().value(QStringLiteral("buffer")).toString());
                    decoded = clock.nsecsElapsed() / 1e6;
                    pictureShown = !image.isNull();
                }
            }
        });

    Child sender, plain;
    if (!sender.start(QStringLiteral("--send"), server.port()) ||
        !plain.start(QStringLiteral("--plain"), server.port())) {
        std::fprintf(stderr, "bench_chat_picture: a helper process did not start\n");
        return 1;
    }
    const QList<QByteArray> ready = sender.read().split(' ');
    if (ready.value(0) != "ready" || plain.read() != "ready") {
        std::fprintf(stderr, "bench_chat_picture: a helper process failed\n");
        return 1;
    }
    const qint64 jpegBytes = ready.value(1).toLongLong();
    const int textLength = ready.value(2).toInt();
    const int pieces = ready.value(3).toInt();
    const int wordsLength = ready.value(4).toInt();
    // The plain relay carries as many characters, in full 1024-character texts.
    const int plainTexts =
        (textLength + TextFraming::FragmentLength - 1) / TextFraming::FragmentLength;
    const QByteArray plainCommand = "run " + QByteArray::number(plainTexts) + ' ' +
                                    QByteArray::number(TextFraming::FragmentLength);

    const int rounds = qEnvironmentVariableIntValue("BENCH_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("BENCH_ROUNDS")
                           : DefaultRounds;
    const bool verbose = qEnvironmentVariableIsSet("BENCH_VERBOSE");
    std::vector<double> pictureTimes, plainTimes, wordTimes, arrivals, parses, decodes;
    for (int round = -1; round < rounds; ++round) { // round -1 warms both up
        plain.send(plainCommand);
        const double plainMs = plain.read().toDouble();
        if (plainMs <= 0) {
            std::fprintf(stderr, "bench_chat_picture: the plain relay failed\n");
            return 1;
        }

        // Waits for done, then lets the sender's own copies of the texts pass.
        const auto runUntil = [](const std::function<bool()>& done) {
            QElapsedTimer timer;
            timer.start();
            while (!done() && timer.elapsed() < TimeoutMs)
                QCoreApplication::processEvents(
                    QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
            QElapsedTimer settle;
            settle.start();
            while (settle.elapsed() < 100)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return done();
        };
        wordsSeen = 0;
        clock.start();
        sender.send("text");
        if (!runUntil([&] { return wordsSeen > 0; })) {
            std::fprintf(stderr, "bench_chat_picture: the text message did not arrive\n");
            return 1;
        }
        const double wordsMs = parsed;

        pictureShown = false;
        decoded = 0;
        clock.start();
        sender.send("picture");
        if (!runUntil([&] { return decoded > 0; }) || !pictureShown) {
            std::fprintf(stderr, "bench_chat_picture: the picture did not arrive whole\n");
            return 1;
        }
        if (round >= 0) {
            plainTimes.push_back(plainMs);
            wordTimes.push_back(wordsMs);
            pictureTimes.push_back(decoded);
            arrivals.push_back(arrived);
            parses.push_back(parsed - arrived);
            decodes.push_back(decoded - parsed);
        }
        if (verbose)
            std::printf("round %2d%s: plain %7.2f ms, text message %7.2f ms, picture %7.2f ms\n",
                        round, round < 0 ? " (warm-up)" : "", plainMs, wordsMs, decoded);
    }

    const double bestPlain = *std::min_element(plainTimes.begin(), plainTimes.end());
    const double bestPicture = *std::min_element(pictureTimes.begin(), pictureTimes.end());
    std::printf("picture: %lld bytes of JPEG; the message is %d characters in %d framed texts; "
                "%d timed rounds after one warm-up\n",
                jpegBytes, textLength, pieces, rounds);
    std::printf("                                  best      median\n");
    std::printf("plain text relay, same bytes: %8.2f ms %8.2f ms\n", bestPlain, median(plainTimes));
    std::printf("text message as long:         %8.2f ms %8.2f ms  (%d characters on the wire)\n",
                *std::min_element(wordTimes.begin(), wordTimes.end()), median(wordTimes),
                wordsLength);
    std::printf("picture decoded at the peer:  %8.2f ms %8.2f ms\n", bestPicture,
                median(pictureTimes));
    std::printf("  of which text reassembled:  %8.2f ms %8.2f ms\n",
                *std::min_element(arrivals.begin(), arrivals.end()), median(arrivals));
    std::printf("  then Base64 and parsing:    %8.2f ms %8.2f ms\n",
                *std::min_element(parses.begin(), parses.end()), median(parses));
    std::printf("  then decodeImage:           %8.2f ms %8.2f ms\n",
                *std::min_element(decodes.begin(), decodes.end()), median(decodes));
    std::printf("ratio (picture / plain):      %8.2f    %8.2f\n", bestPicture / bestPlain,
                median(pictureTimes) / median(plainTimes));
    std::printf("ratio (picture / text msg):   %8.2f    %8.2f\n",
                bestPicture / *std::min_element(wordTimes.begin(), wordTimes.end()),
                median(pictureTimes) / median(wordTimes));
    std::printf("target: under 250 ms, and within 2x of the plain relay\n");
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietDebug);
    QApplication app(argc, argv);
    const QString role = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const quint16 port = argc > 2 ? quint16(QString::fromLocal8Bit(argv[2]).toUInt()) : 0;
    if (role == QLatin1String("--send"))
        return runSender(port);
    if (role == QLatin1String("--plain"))
        return runPlain(port);
    return runPeer();
}
