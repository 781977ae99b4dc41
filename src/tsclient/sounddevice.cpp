// SPDX-License-Identifier: MIT
#include "sounddevice.h"
