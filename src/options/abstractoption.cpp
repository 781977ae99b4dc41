// SPDX-License-Identifier: MIT
#include "abstractoption.h"

namespace MeetingSupport {

AbstractOption::AbstractOption(QWidget* parent) : QWidget(parent) {}

AbstractOption::~AbstractOption() = default;

} // namespace MeetingSupport
