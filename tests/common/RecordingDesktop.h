#pragma once
// A desktop for tests: records every message box, answers the save dialog
// from a queue, records started programs instead of starting them, draws
// the fractions it is given, and records the end of the program.
#include "shell/AppError.h"
#include "shell/Desktop.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace orvane::test {

struct Message {
    QString text;
    QString title;
    MessageIcon icon;
};

class RecordingDesktop : public Desktop {
public:
    RecordingDesktop() { setDesktop(this); }
    ~RecordingDesktop() override { setDesktop(nullptr); }

    QList<Message> messages;
    QStringList saveDialogTitles;
    QStringList saveDialogFilters;
    QStringList saveAnswers; // taken in order; empty = cancel
    QList<QStringList> started; // program followed by its arguments
    QString startFailure; // when set, starting a program raises this
    QList<double> fractions; // taken in order; 0.5 when none left
    int endCalls = 0;
    // Runs inside a message box or the save dialog, as a modal loop would
    // let other events run (a test can click something there).
    std::function<void()> duringModal;

    void showMessage(QWidget*, const QString& text, const QString& title, MessageIcon icon) override
    {
        messages.append({text, title, icon});
        runModal();
    }

    QString getSaveFileName(QWidget*, const QString& title, const QString& filter) override
    {
        saveDialogTitles.append(title);
        saveDialogFilters.append(filter);
        runModal();
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }

    void startDetached(const QString& program, const QStringList& arguments) override
    {
        if (!startFailure.isEmpty())
            raiseError(ErrFileNotFound, startFailure);
        started.append(QStringList{program} + arguments);
    }

    double randomFraction() override { return fractions.isEmpty() ? 0.5 : fractions.takeFirst(); }

    void endProgram() override { ++endCalls; }

    QStringList texts() const
    {
        QStringList t;
        for (const Message& m : messages)
            t << m.text;
        return t;
    }

private:
    void runModal()
    {
        if (duringModal) {
            auto f = std::move(duringModal);
            duringModal = nullptr;
            f();
        }
    }
};

} // namespace orvane::test
