// SPDX-License-Identifier: MIT
#include "exceptionreport.h"

#include <QApplication>
#include <QDebug>
#include <QMessageBox>

#include <boost/exception/exception.hpp>
#include <boost/exception/get_error_info.hpp>

namespace RylSystem {

QString ExceptionDescription::toString() const
{
    if (line < 0 && function.isEmpty() && file.isEmpty())
        return message;
    return QStringLiteral("%1 (in %2, %3:%4)").arg(message, function, file).arg(line);
}

namespace {

void fillLocation(const boost::exception& e, ExceptionDescription* out)
{
    if (const auto* fn = boost::get_error_info<boost::throw_function>(e))
        out->function = QString::fromUtf8(*fn);
    if (const auto* file = boost::get_error_info<boost::throw_file>(e))
        out->file = QString::fromUtf8(*file);
    if (const auto* line = boost::get_error_info<boost::throw_line>(e))
        out->line = *line;
}

} // namespace

ExceptionDescription describeException(std::exception_ptr error)
{
    ExceptionDescription out;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        out.message = QString::fromUtf8(e.what());
        if (const auto* located = dynamic_cast<const boost::exception*>(&e))
            fillLocation(*located, &out);
    } catch (const boost::exception& e) {
        out.message = QStringLiteral("unknown error");
        fillLocation(e, &out);
    } catch (...) {
        out.message = QStringLiteral("unknown error");
    }
    return out;
}

void reportException(std::exception_ptr error)
{
    const ExceptionDescription description = describeException(error);
    qCritical().noquote() << "Unhandled exception:" << description.toString();

    // Tests and headless runs set this so that nothing waits for a click.
    if (qEnvironmentVariableIsSet("RYL_NO_ERROR_DIALOG"))
        return;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    QMessageBox::critical(nullptr,
                          QCoreApplication::translate("RylSystem::RylApplication", "Error"),
                          description.toString());
}

} // namespace RylSystem
