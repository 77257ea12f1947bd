#pragma once
// A test program that is also its own child process: started with a role's
// option ("--child" and the like) as its first argument it plays that role
// with the arguments after it, otherwise it runs its tests.
#include <QStringList>
#include <QTest>

#include <initializer_list>
#include <utility>

namespace orvane::test {

using ChildRole = int (*)(const QStringList& arguments);

// `App` is the application class the tests and the roles need.
template <class App, class Tests>
int runTestsOrChild(int argc, char** argv, std::initializer_list<std::pair<const char*, ChildRole>> roles)
{
    App app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1)
        for (const auto& [option, role] : roles)
            if (args.at(1) == QLatin1String(option))
                return role(args.mid(2));
    Tests tests;
    return QTest::qExec(&tests, argc, argv);
}

} // namespace orvane::test

// main() of a test program whose "--child" runs `child`.
#define ORVANE_TEST_MAIN_WITH_CHILD(App, Tests, child)                                                       \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        return orvane::test::runTestsOrChild<App, Tests>(argc, argv, {{"--child", child}});                  \
    }
