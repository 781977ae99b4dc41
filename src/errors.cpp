// SPDX-License-Identifier: MIT
#include "errors.h"

#include <boost/exception/get_error_info.hpp>

namespace RylSystem {

FatalError::FatalError(const QString& message) : std::runtime_error(message.toUtf8().toStdString())
{}

FatalError::~FatalError() noexcept = default;

NonFatalError::NonFatalError(const QString& message)
    : std::logic_error(message.toUtf8().toStdString())
{}

NonFatalError::~NonFatalError() noexcept = default;

AssertionError::AssertionError(const QString& message) : NonFatalError(message) {}

AssertionError::~AssertionError() noexcept = default;

const char* throwFunction(const boost::exception& error)
{
    const auto* value = boost::get_error_info<boost::throw_function>(error);
    return value ? *value : nullptr;
}

const char* throwFile(const boost::exception& error)
{
    const auto* value = boost::get_error_info<boost::throw_file>(error);
    return value ? *value : nullptr;
}

int throwLine(const boost::exception& error)
{
    const auto* value = boost::get_error_info<boost::throw_line>(error);
    return value ? *value : -1;
}

} // namespace RylSystem
