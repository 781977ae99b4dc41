// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QSocketNotifier>

// Reads one JSON array per line from standard input, runs it on the C API and prints one JSON
// object per line: {"result": command, "error": code, ...} for commands and
// {"event": callback, ...parameters} for every callback.
class CommandLine : public QObject
{
    Q_OBJECT
public:
    CommandLine();
    ~CommandLine() override;

    // Initialises the library and spawns the handler; false when that failed.
    bool start();
    // Thread-safe: callbacks call it from the library's thread.
    static void print(const QJsonObject& line);
    // What --help prints: the input and output and every command with its arguments.
    static QString usage();

private:
    void readInput();
    void execute(const QByteArray& line);
    QJsonObject run(const QJsonArray& line);
    void finish();

    QSocketNotifier m_input;
    QByteArray m_buffer;
    uint64 m_handler = 0;
    bool m_finished = false;
};
