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

// The window style a start uses: omitted, or outside 0 (hidden) to 6
// (minimised without the focus), 6; otherwise the code as given.
int windowStyleFor(std::optional<int> windowStyle);

// What a caller may ask of a start besides the command and the style.
struct RunOptions {
    // When not -1, the open file that is started instead of the file the
    // command line's first argument names (which becomes the program's
    // argv[0]): a file checked through that descriptor is exactly the one
    // that runs. The descriptor stays the caller's.
    int program = -1;
    // When given, receives what the program wrote to its standard error.
    QByteArray* errorOutput = nullptr;
};

// Starts the command line (no shell) and returns the program's exit code
// once it has ended, polling every 100 ms and running the event pump once
// per poll. A program that cannot be started gives its errno plus
// startErrorBase at once. A program ended by a signal gives 128 plus the
// signal's number.
// The window style is normalised by windowStyleFor and given to the start,
// which names it in the trace of every program started. The programs this
// program starts are console programs, which show no window here.
std::int32_t RunAndWait(
    const QString& command, std::optional<int> windowStyle = std::nullopt, const RunOptions& options = {});

} // namespace orvane
