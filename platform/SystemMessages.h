// The system's message texts for the error numbers and HRESULTs the program
// can report.
#pragma once

#include <span>

#include "platform/Resources.h"

std::span<const ResourceText> SystemMessageTable();
