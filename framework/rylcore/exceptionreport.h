// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <exception>

namespace RylSystem {

// The exit code of a program ended by an unhandled exception.
constexpr int ExceptionExitCode = 1;

struct ExceptionDescription
{
    QString message;  // what(), or a fixed text for exceptions that carry none
    QString function; // empty when the exception carries no location
    QString file;
    int line = -1;

    QString toString() const;
};

ExceptionDescription describeException(std::exception_ptr error);

// Logs the exception with its message and location and, when a GUI exists and message boxes
// are not suppressed, shows it in a critical message box.
void reportException(std::exception_ptr error);

} // namespace RylSystem
