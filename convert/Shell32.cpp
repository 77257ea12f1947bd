#include "convert/Shell32.h"

#include "shell/FileIO.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace orvane {

QStringList splitCommandLine(const QString& commandLine)
{
    QStringList arguments;
    QString current;
    bool inQuotes = false;
    bool haveArgument = false;
    const qsizetype n = commandLine.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = commandLine[i];
        if (c == QLatin1Char('\\')) {
            qsizetype slashes = 0;
            while (i < n && commandLine[i] == QLatin1Char('\\')) {
                ++slashes;
                ++i;
            }
            if (i < n && commandLine[i] == QLatin1Char('"')) {
                current += QString(slashes / 2, QLatin1Char('\\'));
                if (slashes % 2) {
                    current += QLatin1Char('"');
                } else {
                    inQuotes = !inQuotes;
                }
            } else {
                current += QString(slashes, QLatin1Char('\\'));
                --i;
            }
            haveArgument = true;
        } else if (c == QLatin1Char('"')) {
            // A doubled quote inside quotes stands for one quote.
            if (inQuotes && i + 1 < n && commandLine[i + 1] == QLatin1Char('"')) {
                current += QLatin1Char('"');
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
            haveArgument = true;
        } else if (!inQuotes && (c == QLatin1Char(' ') || c == QLatin1Char('\t'))) {
            if (haveArgument)
                arguments << current;
            current.clear();
            haveArgument = false;
        } else {
            current += c;
            haveArgument = true;
        }
    }
    if (haveArgument)
        arguments << current;
    return arguments;
}

QString quoteArgument(const QString& argument)
{
    QString quoted(QLatin1Char('"'));
    qsizetype slashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++slashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped;
        // elsewhere they stand for themselves.
        if (c == QLatin1Char('"'))
            quoted += QString(2 * slashes + 1, QLatin1Char('\\'));
        else
            quoted += QString(slashes, QLatin1Char('\\'));
        slashes = 0;
        quoted += c;
    }
    // Before the closing quote they are doubled too.
    quoted += QString(2 * slashes, QLatin1Char('\\'));
    quoted += QLatin1Char('"');
    return quoted;
}

namespace {

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

void drain(int fd, QByteArray* into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            if (into && into->size() < (1 << 20))
                into->append(buffer, got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return;
    }
}

// Every program started and how it ended: QT_LOGGING_RULES="orvane.convert.debug=true".
Q_LOGGING_CATEGORY(lcConvert, "orvane.convert", QtInfoMsg)

} // namespace

int windowStyleFor(std::optional<int> windowStyle)
{
    if (!windowStyle || *windowStyle < 0 || *windowStyle > 6)
        return 6;
    return *windowStyle;
}

std::int32_t RunAndWait(const QString& command, std::optional<int> windowStyle, const RunOptions& options)
{
    const int style = windowStyleFor(windowStyle);
    const int program = options.program;
    QByteArray* const errorOutput = options.errorOutput;

    // Checked before anything is opened here, which could take its number.
    if (program != -1 && (program <= 2 || ::fcntl(program, F_GETFD) < 0))
        return EBADF + startErrorBase;
    const QStringList arguments = splitCommandLine(command);
    if (arguments.isEmpty())
        return ENOENT + startErrorBase;
    std::vector<QByteArray> native;
    for (const QString& a : arguments)
        native.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : native)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return errno + startErrorBase;
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

    SpawnActions files;
    posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files.actions, writeEnd.get(), 2);
    // The child runs the open file through /proc/self/fd; a dup2 onto
    // itself keeps that one descriptor open across the exec (a script's
    // interpreter reads it from there), all others stay close-on-exec.
    QByteArray file = native.front();
    if (program != -1) {
        posix_spawn_file_actions_adddup2(&files.actions, program, program);
        file = "/proc/self/fd/" + QByteArray::number(program);
    }

    pid_t pid = 0;
    const int spawnError
        = ::posix_spawn(&pid, file.constData(), &files.actions, nullptr, argv.data(), environ);
    writeEnd.reset();
    qCDebug(lcConvert) << "start" << command << "window style" << style << "->"
                       << (spawnError ? -spawnError : pid);
    if (spawnError != 0)
        return spawnError + startErrorBase;

    std::int32_t exitCode = 0;
    bool running = true;
    while (running) {
        int status = 0;
        pid_t got;
        do {
            got = ::waitpid(pid, &status, WNOHANG);
        } while (got < 0 && errno == EINTR);
        if (got == pid) {
            running = false;
            if (WIFEXITED(status))
                exitCode = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                exitCode = 128 + WTERMSIG(status);
        } else if (got < 0) {
            running = false; // the child is gone and cannot be asked
        }
        drain(readEnd.get(), errorOutput);
        QCoreApplication::processEvents();
        const timespec poll{0, 100 * 1000 * 1000};
        ::nanosleep(&poll, nullptr);
    }
    drain(readEnd.get(), errorOutput);
    qCDebug(lcConvert) << "process" << pid << "ended with" << exitCode;
    return exitCode;
}

} // namespace orvane
