#include "cli/RunDisplay.h"

#include "process/ConsoleOutput.h"

void RunDisplay::warn(const QString& message)
{
    ConsoleOutput::warn(message);
}
