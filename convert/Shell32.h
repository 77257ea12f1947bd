#pragma once
// Starting another program and waiting for its end while the windows stay
// alive.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace orvane {

// Splits a command line as Windows does: white space separates arguments,
// double quotes group, backslashes escape only quotes.
QStringList splitCommandLine(const QString& commandLine);

// `argument` in double quotes, with the backslashes and quotes inside it
// escaped so that splitCommandLine gives back exactly `argument`, whatever
// characters it holds. A text without quotes and backslashes is simply put
// between two quotes.
QString quoteArgument(const QString& argument);

// Base added to the error number of a program that cannot be started.
constexpr std::int32_t startErrorBase = -2147221504;

// Starts the command line (no shell) and returns the program's exit code
// once it has ended, polling every 100 ms and running the event pump once
// per poll. A program that cannot be started gives its errno plus
// startErrorBase at once. A program ended by a signal gives 128 plus the
// signal's number. When `errorOutput` is given it receives what the program
// wrote to its standard error.
// `windowStyle` is the code callers pass for the started program's window
// (0 hidden ... 6 minimised without focus); the programs started here are
// console programs, which show no window on this platform, so it has no
// effect.
std::int32_t RunAndWait(
    const QString& command, std::optional<int> windowStyle = std::nullopt, QByteArray* errorOutput = nullptr);

// As RunAndWait, but the program started is the open file `program`, not
// the file the command line's first argument names (which becomes the
// program's argv[0]): a file checked through that descriptor is exactly
// the one that runs.
std::int32_t RunAndWaitFrom(int program, const QString& command,
    std::optional<int> windowStyle = std::nullopt, QByteArray* errorOutput = nullptr);

} // namespace orvane
