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
std::int32_t RunAndWait(const QString& command, std::optional<int> windowStyle = std::nullopt,
                        QByteArray* errorOutput = nullptr);

} // namespace orvane
