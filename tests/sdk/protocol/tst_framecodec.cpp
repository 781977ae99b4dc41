// SPDX-License-Identifier: MIT
#include "frame.h"
#include "message.h"
#include "outputqueue.h"
#include "rawpeer.h"
#include "tls.h"
#include "voiceserverprocess.h"

#include <QCborArray>
#include <QCborValue>
#include <QTest>
#include <QtEndian>

#include <openssl/ssl.h>

#include <memory>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

using namespace voicesdk::protocol;

namespace {

QCborMap text(const QString& message)
{
    return QCborMap{{TypeKey, type::Text}, {field::Message, message}, {field::Target, 7}};
}

} // namespace

class tst_FrameCodec : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void rejects_data();
    void rejects();
    void needsMoreUntilComplete();
    void errorIsFinal();
    void encodeRefusesOversize();
    void reader_data();
    void reader();
    void outputQueueGathersSmallAndSharesLarge();
    void queueLeavesInOrderThroughAFullSocket_data();
    void queueLeavesInOrderThroughAFullSocket();
};

void tst_FrameCodec::roundTrip_data()
{
    QTest::addColumn<QList<QCborMap>>("messages");
    QTest::addColumn<int>("chunk"); // bytes fed at a time; 0 = all at once

    const QList<QCborMap> one{text(QStringLiteral("hello"))};
    const QList<QCborMap> several{text(QStringLiteral("a")), text(QString(1024, QChar(0x00e9))),
                                  QCborMap{{TypeKey, type::Synced}},
                                  text(QStringLiteral("\u4f60\u597d"))};
    QTest::newRow("one, whole") << one << 0;
    QTest::newRow("one, byte by byte") << one << 1;
    QTest::newRow("several, whole") << several << 0;
    QTest::newRow("several, byte by byte") << several << 1;
    QTest::newRow("several, chunks of 7") << several << 7;
    QTest::newRow("several, chunks of 1000") << several << 1000;
}

void tst_FrameCodec::roundTrip()
{
    QFETCH(QList<QCborMap>, messages);
    QFETCH(int, chunk);
    QByteArray stream;
    for (const QCborMap& message : messages)
        stream += encodeFrame(message);

    FrameDecoder decoder;
    QList<QCborMap> decoded;
    const int step = chunk == 0 ? stream.size() : chunk;
    for (int offset = 0; offset < stream.size(); offset += step) {
        decoder.append(stream.mid(offset, step));
        QCborMap message;
        FrameDecoder::Result result;
        while ((result = decoder.next(&message)) == FrameDecoder::Message)
            decoded.append(message);
        QCOMPARE(result, FrameDecoder::NeedMore);
    }
    QCOMPARE(decoded, messages);
    QCOMPARE(decoder.pending(), 0);
}

void tst_FrameCodec::rejects_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");

    QByteArray deep;
    for (int i = 0; i < 20000; ++i)
        deep += char(0x81); // arrays nested in arrays
    deep += char(0x01);

    QTest::newRow("zero length") << frameHeader(0) << "empty frame";
    QTest::newRow("length over the limit") << frameHeader(MaxFrameSize + 1) << "exceeds";
    QTest::newRow("huge length") << frameHeader(0xFFFFFFFFu) << "exceeds";
    QTest::newRow("not CBOR") << rawFrame(QByteArray("\xff\xff\xff\xff", 4)) << "malformed";
    QTest::newRow("truncated CBOR") << rawFrame(QByteArray("\xa1\x64type", 6)) << "malformed";
    QTest::newRow("integer, not a map") << rawFrame(QCborValue(5).toCbor()) << "not a CBOR map";
    QTest::newRow("array, not a map")
        << rawFrame(QCborValue(QCborArray{1, 2}).toCbor()) << "not a CBOR map";
    QTest::newRow("map without type")
        << rawFrame(QCborValue(QCborMap{{QStringLiteral("x"), 1}}).toCbor()) << "no type";
    QTest::newRow("type is a number")
        << rawFrame(QCborValue(QCborMap{{TypeKey, 3}}).toCbor()) << "no type";
    QTest::newRow("trailing bytes")
        << rawFrame(QCborValue(QCborMap{{TypeKey, type::Ping}}).toCbor() + "\x01") << "trailing";
    QTest::newRow("deep nesting") << rawFrame(deep) << "";
}

void tst_FrameCodec::rejects()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    FrameDecoder decoder;
    decoder.append(bytes);
    QCborMap message;
    QCOMPARE(decoder.next(&message), FrameDecoder::Error);
    QVERIFY2(decoder.errorString().contains(reason), qPrintable(decoder.errorString()));
}

void tst_FrameCodec::needsMoreUntilComplete()
{
    const QByteArray frame = encodeFrame(text(QStringLiteral("complete")));
    FrameDecoder decoder;
    QCborMap message;
    decoder.append(frame.left(3));
    QCOMPARE(decoder.next(&message), FrameDecoder::NeedMore);
    decoder.append(frame.mid(3, frame.size() - 4));
    QCOMPARE(decoder.next(&message), FrameDecoder::NeedMore);
    decoder.append(frame.right(1));
    QCOMPARE(decoder.next(&message), FrameDecoder::Message);
    QCOMPARE(message.value(field::Message).toString(), QStringLiteral("complete"));
}

void tst_FrameCodec::errorIsFinal()
{
    FrameDecoder decoder;
    decoder.append(frameHeader(0));
    QCborMap message;
    QCOMPARE(decoder.next(&message), FrameDecoder::Error);
    decoder.append(encodeFrame(text(QStringLiteral("after"))));
    QCOMPARE(decoder.next(&message), FrameDecoder::Error);
    QCOMPARE(decoder.pending(), 0);
}

void tst_FrameCodec::encodeRefusesOversize()
{
    QVERIFY(encodeFrame(text(QString(MaxFrameSize, QLatin1Char('x')))).isEmpty());
    const QByteArray fits = encodeFrame(text(QString(MaxFrameSize - 100, QLatin1Char('x'))));
    QVERIFY(!fits.isEmpty());
    QVERIFY(fits.size() <= MaxFrameSize + FrameHeaderSize);
}

void tst_FrameCodec::reader_data()
{
    QTest::addColumn<QCborMap>("message");
    QTest::addColumn<bool>("ok");

    const QCborMap good{
        {field::ClientId, 5}, {field::Message, QStringLiteral("hi")}, {field::Force, true}};
    QCborMap negative = good;
    negative.insert(field::ClientId, -1);
    QCborMap huge = good;
    huge.insert(field::ClientId, 70000);
    QCborMap stringId = good;
    stringId.insert(field::ClientId, QStringLiteral("5"));
    QCborMap longText = good;
    longText.insert(field::Message, QString(11, QLatin1Char('x')));
    QCborMap numberText = good;
    numberText.insert(field::Message, 12);
    QCborMap intBool = good;
    intBool.insert(field::Force, 1);
    QCborMap missing = good;
    missing.remove(field::ClientId);
    QCborMap withOptional = good;
    withOptional.insert(field::Password, QStringLiteral("pw"));
    QCborMap badOptional = good;
    badOptional.insert(field::Password, false);

    QTest::newRow("good") << good << true;
    QTest::newRow("good with optional") << withOptional << true;
    QTest::newRow("negative id") << negative << false;
    QTest::newRow("id out of range") << huge << false;
    QTest::newRow("id as string") << stringId << false;
    QTest::newRow("text too long") << longText << false;
    QTest::newRow("text as number") << numberText << false;
    QTest::newRow("boolean as integer") << intBool << false;
    QTest::newRow("required field missing") << missing << false;
    QTest::newRow("optional field of wrong type") << badOptional << false;
}

void tst_FrameCodec::reader()
{
    QFETCH(QCborMap, message);
    QFETCH(bool, ok);
    MessageReader reader(message);
    const qint64 id = reader.integer(field::ClientId, 0, 0xFFFF);
    const QString text = reader.string(field::Message, 10);
    const bool force = reader.boolean(field::Force);
    const QString password = reader.optionalString(field::Password, 10);
    QCOMPARE(reader.ok(), ok);
    if (ok) {
        QCOMPARE(id, 5);
        QCOMPARE(text, QStringLiteral("hi"));
        QVERIFY(force);
        QCOMPARE(password.isEmpty(), !message.contains(field::Password));
    } else {
        QVERIFY(!reader.errorString().isEmpty());
    }
}

void tst_FrameCodec::outputQueueGathersSmallAndSharesLarge()
{
    OutputQueue queue;
    const QByteArray large(100 * 1024, 'L');
    for (int i = 0; i < 300; ++i)
        queue.append(QByteArray(100, char('a' + i % 26)));
    queue.append(large);
    queue.append(QByteArray(10, 's'));
    QCOMPARE(queue.size(), qint64(300 * 100 + large.size() + 10));
    iovec pieces[16];
    // 300 small frames fill two blocks of at most 16 KiB; the large one is not copied.
    const int count = queue.pieces(pieces, 16);
    QCOMPARE(count, 4);
    QVERIFY(pieces[0].iov_len <= 16 * 1024 && pieces[1].iov_len <= 16 * 1024);
    QCOMPARE(int(pieces[0].iov_len + pieces[1].iov_len), 300 * 100);
    QCOMPARE(static_cast<const char*>(pieces[2].iov_base), large.constData());
    QCOMPARE(int(pieces[3].iov_len), 10);
    // Consuming across blocks keeps the rest in place.
    queue.consume(300 * 100 + 7);
    int size = 0;
    const char* front = queue.front(&size);
    QCOMPARE(size, large.size() - 7);
    QCOMPARE(front, large.constData() + 7);
    queue.consume(queue.size());
    QVERIFY(queue.isEmpty());
    QCOMPARE(queue.front(&size), nullptr);
    QCOMPARE(size, 0);
}

namespace {

struct SslFree
{
    void operator()(SSL* ssl) const { SSL_free(ssl); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

} // namespace

void tst_FrameCodec::queueLeavesInOrderThroughAFullSocket_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("clear") << false; // the queue's blocks leave by sendmsg()
    QTest::newRow("TLS") << true;    // sealed a batch at a time; leftovers wait for room
}

void tst_FrameCodec::queueLeavesInOrderThroughAFullSocket()
{
    QFETCH(bool, tls);
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    const int small = 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::unique_ptr<SSL_CTX, SslFree> serverContext, clientContext;
    std::unique_ptr<SSL, SslFree> reader;
    SSL* writer = nullptr;
    if (tls) {
        serverContext.reset(SSL_CTX_new(TLS_server_method()));
        clientContext.reset(SSL_CTX_new(TLS_client_method()));
        QVERIFY(SSL_CTX_use_certificate_chain_file(
                    serverContext.get(), qPrintable(VoiceServerProcess::tlsFile("server.crt"))) ==
                    1 &&
                SSL_CTX_use_PrivateKey_file(serverContext.get(),
                                            qPrintable(VoiceServerProcess::tlsFile("server.key")),
                                            SSL_FILETYPE_PEM) == 1);
        SSL_CTX_set_mode(serverContext.get(), SSL_MODE_RELEASE_BUFFERS |
                                                  SSL_MODE_ENABLE_PARTIAL_WRITE |
                                                  SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        writer = SSL_new(serverContext.get());
        SSL_set_accept_state(writer);
        reader.reset(SSL_new(clientContext.get()));
        SSL_set_fd(reader.get(), fds[1]);
        SSL_set_connect_state(reader.get());
    }
    TlsStream stream(fds[0], writer);
    for (int i = 0;
         i < 1000 && !(stream.handshake() && (!tls || SSL_is_init_finished(reader.get()))); ++i) {
        if (tls)
            SSL_do_handshake(reader.get());
    }
    QVERIFY(stream.isEncrypted());

    OutputQueue queue;
    QByteArray expected;
    for (int i = 0; i < 2000; ++i) {
        const QByteArray frame = i % 100 == 0 ? QByteArray(20000 + i, char(i))
                                              : QByteArray::number(i).repeated(i % 37 + 1);
        queue.append(frame);
        expected += frame;
    }
    QByteArray received;
    char buffer[65536];
    // As a connection's owner does: the queue is written again whenever the socket has room,
    // also once it is empty while sealed records still wait.
    for (int rounds = 0; received.size() < expected.size() && rounds < 100000; ++rounds) {
        stream.writeQueue(&queue);
        QCOMPARE(stream.state(), TlsStream::State::Open);
        QVERIFY(queue.isEmpty() || stream.wantsWrite());
        const int got = tls ? SSL_read(reader.get(), buffer, sizeof buffer)
                            : int(::recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT));
        if (got > 0)
            received.append(buffer, got);
    }
    QVERIFY(queue.isEmpty());
    QCOMPARE(received.size(), expected.size());
    QVERIFY(received == expected);
    reader.reset();
    ::close(fds[1]);
}

QTEST_APPLESS_MAIN(tst_FrameCodec)
#include "tst_framecodec.moc"
