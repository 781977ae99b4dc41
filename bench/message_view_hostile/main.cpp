// SPDX-License-Identifier: MIT
// bench_message_view_hostile: what one message built by a hostile member costs the message view
// on the offscreen platform, beside an ordinary message in the same run. For each message: the
// time to decode its text from the wire form (messagesFromText), the GUI thread's time to take
// it (addMessage, the events it causes and a repaint of the view), the longest GUI slice in the
// second after it (pictures decoded later are drawn then), and the growth of resident memory.
// The chat engine decodes texts longer than 256 Ki characters on a worker thread, so for those
// the decoding time is not the GUI thread's.
// Cases: one message of 1 Mi and of 8 Mi characters of words, 1 Mi characters of one word, of
// combining marks and of short lines, one 64-megapixel picture, and 100 messages with a
// 16-megapixel picture each (memory growth per picture). Targets: each message at most 100 ms
// of GUI time, at most 2 MiB of memory per 16-megapixel picture.
//
// Arguments name the cases to run (all by default): ordinary text-1mi text-8mi word-1mi
// marks-1mi lines-1mi picture-64mp pictures-16mp. BENCH_PICTURES sets the number of 16-megapixel
// pictures (100).
#include "chat/historypictures.h"
#include "chat/messageview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QScrollBar>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace MeetingSupport;

namespace {

constexpr double TargetMs = 100.0;
constexpr double TargetMiBPerPicture = 2.0;

double residentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

double msSince(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

QString words(int length)
{
    static const QString sample =
        QStringLiteral("the minutes of the meeting are on the shared drive, please look ");
    QString text;
    text.reserve(length + sample.size());
    while (text.size() < length)
        text += sample;
    text.truncate(length);
    return text;
}

QString shapedText(const QString& kind, int length)
{
    if (kind == QLatin1String("word"))
        return QString(length, QLatin1Char('x'));
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i) {
        if (kind == QLatin1String("marks")) // a letter under a pile of accents
            text += i % 64 == 0 ? QChar(QLatin1Char('a')) : QChar(0x0301);
        else // lines: a letter and a line break
            text += i % 2 == 0 ? QChar(QLatin1Char('y')) : QChar(QLatin1Char('\n'));
    }
    return text;
}

// A picture with some structure (bands, a gradient, lines), as a photo compresses.
QImage picture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb((x * 255 / width) ^ ((y / 64) % 2 ? 0x30 : 0), y * 255 / height,
                           ((x / 97 + y / 89) % 7) * 36);
    }
    QPainter painter(&image);
    painter.setPen(QPen(Qt::white, 9));
    for (int i = 0; i < 40; ++i)
        painter.drawLine(0, i * height / 40, width, height - i * height / 40);
    return image;
}

ChatMessage chat(const QJsonArray& content)
{
    ChatMessage message(TextMessage);
    message.info.setSender(QStringLiteral("mallory"));
    message.package.font.family = QStringLiteral("DejaVu Sans");
    message.package.content = content;
    return message;
}

QJsonValue pictureItem(const QString& buffer)
{
    return QJsonArray{QStringLiteral("image"), QJsonObject{{QStringLiteral("buffer"), buffer}}};
}

struct Taken
{
    double decodeMs = 0;
    double guiMs = 0;
    double laterMs = 0; // the longest GUI slice in the second after
};

class Bench
{
public:
    Bench()
    {
        view.setOwnName(QStringLiteral("me"));
        view.resize(600, 800);
        view.show();
        settle(200);
    }

    // Runs the event loop for about ms milliseconds, repainting the view as a screen would;
    // returns the longest slice.
    double settle(int ms)
    {
        double longest = 0;
        QElapsedTimer total;
        total.start();
        while (total.elapsed() < ms) {
            QElapsedTimer slice;
            slice.start();
            QCoreApplication::processEvents();
            view.viewport()->repaint();
            longest = std::max(longest, msSince(slice));
            QThread::msleep(5);
        }
        return longest;
    }

    Taken take(const ChatMessage& message, int laterMs = 1000)
    {
        Taken taken;
        const QString text = messagesToText({message});
        QElapsedTimer timer;
        timer.start();
        const QList<ChatMessage> decoded = messagesFromText(text);
        taken.decodeMs = msSince(timer);
        timer.start();
        for (const ChatMessage& m : decoded)
            view.addMessage(m);
        QCoreApplication::processEvents();
        view.viewport()->repaint();
        taken.guiMs = msSince(timer);
        taken.laterMs = laterMs > 0 ? settle(laterMs) : 0;
        return taken;
    }

    MessageView view;
};

void report(const char* name, const Taken& taken, double ordinary)
{
    const double worst = std::max(taken.guiMs, taken.laterMs);
    std::printf("%-30s GUI %8.1f ms, later %7.1f ms, decoding %7.1f ms  (target GUI at most %.0f "
                "ms; %.1fx the ordinary message)%s\n",
                name, taken.guiMs, taken.laterMs, taken.decodeMs, TargetMs,
                ordinary > 0 ? worst / ordinary : 0.0, worst <= TargetMs ? "" : "  OVER");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QStringList cases = QCoreApplication::arguments().mid(1);
    if (cases.isEmpty())
        cases = QStringList{"ordinary",  "text-1mi",  "text-8mi",     "word-1mi",
                            "marks-1mi", "lines-1mi", "picture-64mp", "pictures-16mp"};
    const int pictures = qEnvironmentVariableIsSet("BENCH_PICTURES")
                             ? qEnvironmentVariableIntValue("BENCH_PICTURES")
                             : 100;

    Bench bench;
    const double startMiB = residentMiB();

    // The ordinary message: a line of text and a small screen capture, median of 21.
    const QString small = encodeImage(picture(320, 200));
    std::vector<double> ordinary;
    for (int i = 0; i < 21; ++i) {
        const Taken t = bench.take(chat({words(120), pictureItem(small)}), i == 20 ? 200 : 0);
        ordinary.push_back(t.guiMs);
    }
    std::sort(ordinary.begin(), ordinary.end());
    const double ordinaryMs = ordinary[ordinary.size() / 2];
    std::printf("%-30s GUI %8.1f ms (median of 21: a line of text and a 320 x 200 picture)\n",
                "ordinary message", ordinaryMs);

    const auto textCase = [&](const char* name, const QString& text) {
        const double before = residentMiB();
        const Taken t = bench.take(chat({text}));
        report(name, t, ordinaryMs);
        std::printf("%-30s memory +%.1f MiB\n", "", residentMiB() - before);
    };
    if (cases.contains("text-1mi"))
        textCase("1 Mi characters of words", words(1 << 20));
    if (cases.contains("text-8mi"))
        textCase("8 Mi characters of words", words(8 << 20));
    if (cases.contains("word-1mi"))
        textCase("1 Mi characters, one word", shapedText("word", 1 << 20));
    if (cases.contains("marks-1mi"))
        textCase("1 Mi combining marks", shapedText("marks", 1 << 20));
    if (cases.contains("lines-1mi"))
        textCase("1 Mi characters of lines", shapedText("lines", 1 << 20));

    if (cases.contains("picture-64mp")) {
        const QString big = encodeImage(picture(8192, 8192));
        const double before = residentMiB();
        const Taken t = bench.take(chat({QStringLiteral("look"), pictureItem(big)}), 2000);
        report("one 64-megapixel picture", t, ordinaryMs);
        std::printf("%-30s memory +%.1f MiB (%.1f MiB on the wire)\n", "", residentMiB() - before,
                    big.size() / 1048576.0);
    }

    if (cases.contains("pictures-16mp") && pictures > 0) {
        const QString sixteen = encodeImage(picture(4096, 4096));
        const double before = residentMiB();
        Taken worst;
        for (int i = 0; i < pictures; ++i) {
            const Taken t =
                bench.take(chat({QStringLiteral("picture %1").arg(i), pictureItem(sixteen)}), 0);
            worst.guiMs = std::max(worst.guiMs, t.guiMs);
            worst.decodeMs = std::max(worst.decodeMs, t.decodeMs);
        }
        worst.laterMs = bench.settle(2000);
        const double growth = residentMiB() - before;
        char name[64];
        std::snprintf(name, sizeof name, "%d 16-megapixel pictures", pictures);
        report(name, worst, ordinaryMs);
        std::printf("%-30s %.2f MiB each on the wire\n", "", sixteen.size() / 1048576.0);
        std::printf("%-30s memory +%.1f MiB, %.2f MiB per picture (target at most %.0f)%s\n", "",
                    growth, growth / pictures, TargetMiBPerPicture,
                    growth / pictures <= TargetMiBPerPicture ? "" : "  OVER");
        // What the growth is made of: the pictures as they came, and decoded at the drawn size.
        std::printf("%-30s of which %.2f MiB kept as it came, %.2f MiB decoded at the drawn "
                    "size\n",
                    "", sixteen.size() * 3.0 / 4 / 1048576.0,
                    bench.view.pictures()->heldBytes() / 1048576.0 / pictures);
        // Back to the oldest: pictures dropped from memory come back.
        bench.view.verticalScrollBar()->setValue(0);
        const double back = bench.settle(1000);
        std::printf("%-30s longest GUI slice %.1f ms, memory +%.1f MiB\n",
                    "scrolled back to the first", back, residentMiB() - before);
    }
    std::printf("%-30s %.1f MiB resident at the end (%.1f at the start)\n", "memory", residentMiB(),
                startMiB);
    return 0;
}
