#pragma once
// The common error report and the guard every command and set-up handler
// runs its numbered steps under.
//
//   Guard g("Form1", "Form_Load");
//   g.step(100, [&] { ApplySkin(); });
//   if (g.test(134, [&] { return TWAIN_IsAvailable() == 0; })) { ... }
//
// A step that raises shows the report with the handler's label and the
// step's line number, then the handler carries on with its next statement:
// after a failing action the next step runs; after a failing test the branch
// it guards runs (test() answers true) and its alternative is skipped; a
// failure inside a called routine abandons the rest of that routine.
#include <QString>
#include <exception>
#include <utility>

namespace orvane {

// "Orvane_Capture_Desk2021/08/31." + window + "." + handler
QString locationLabel(const QString& window, const QString& handler);

// The text of the report, with its four lines.
QString errorReportText(const QString& description, const QString& label, int line);

// Shows the report: title "Application Error", warning icon, OK only.
void ShowErrorReport(const QString& description, const QString& label, int line);

// The description of whatever a step raised.
QString describeCurrentException(std::exception_ptr e);

class Guard {
public:
    Guard(const QString& window, const QString& handler)
        : label_(locationLabel(window, handler))
    { }

    // How many reports this run of the handler has shown.
    int reports() const { return reports_; }

    // Runs one numbered action. Returns true when it raised nothing.
    template <class F> bool step(int line, F&& action)
    {
        try {
            std::forward<F>(action)();
            return true;
        } catch (...) {
            report(line, std::current_exception());
            return false;
        }
    }

    // Runs one numbered test. A test that raises counts as true, so the
    // statement written directly after it (the guarded branch) runs next.
    template <class F> bool test(int line, F&& condition)
    {
        try {
            return static_cast<bool>(std::forward<F>(condition)());
        } catch (...) {
            report(line, std::current_exception());
            return true;
        }
    }

private:
    void report(int line, std::exception_ptr e);

    QString label_;
    int reports_ = 0;
};

} // namespace orvane
