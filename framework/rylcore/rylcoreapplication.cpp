// SPDX-License-Identifier: MIT
#include "rylcoreapplication.h"

#include "exceptionreport.h"

#ifndef RYL_BUILD_NUMBER
#define RYL_BUILD_NUMBER "0"
#endif

namespace RylSystem {

RylCoreApplication::RylCoreApplication(int& argc, char** argv) : QApplication(argc, argv) {}

RylCoreApplication::~RylCoreApplication() = default;

RylCoreApplication* RylCoreApplication::instance()
{
    return qobject_cast<RylCoreApplication*>(QCoreApplication::instance());
}

QString RylCoreApplication::buildNumber() const
{
    return QStringLiteral(RYL_BUILD_NUMBER);
}

bool RylCoreApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        reportException(std::current_exception());
        QCoreApplication::exit(ExceptionExitCode);
    }
    return false;
}

} // namespace RylSystem
