// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <boost/current_function.hpp>
#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

#include <stdexcept>

namespace RylSystem {

// A condition after which the program cannot go on.
class FatalError : public boost::exception, public std::runtime_error
{
public:
    explicit FatalError(const QString& message);
    ~FatalError() noexcept override;
};

// A recoverable condition.
class NonFatalError : public boost::exception, public std::logic_error
{
public:
    explicit NonFatalError(const QString& message);
    ~NonFatalError() noexcept override;
};

// An internal precondition that did not hold.
class AssertionError : public NonFatalError
{
public:
    explicit AssertionError(const QString& message);
    ~AssertionError() noexcept override;
};

// Throws a copy of error that carries the raising function, file and line.
template <class Error>
[[noreturn]] void throwWithLocation(const Error& error, const char* function, const char* file,
                                    int line)
{
    Error located(error);
    located << boost::throw_function(function) << boost::throw_file(file)
            << boost::throw_line(line);
    throw located;
}

// The location an exception was raised at: null and -1 unless it went through throwWithLocation.
const char* throwFunction(const boost::exception& error);
const char* throwFile(const boost::exception& error);
int throwLine(const boost::exception& error);

} // namespace RylSystem

// Raises a RylSystem exception with the current function's signature, file and line.
#define RYL_THROW(error)                                                                           \
    ::RylSystem::throwWithLocation((error), BOOST_CURRENT_FUNCTION, __FILE__, __LINE__)
