// Common main() of every test program: each test run gets a private home and
// data location, so no test ever reads or writes the real user's folders.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Tests never send error reports off this machine; a test that checks
    // the report points it at its own loopback server.
    if (!qEnvironmentVariableIsSet("CHATFERRY_REPORT_SERVER"))
        qputenv("CHATFERRY_REPORT_SERVER", "");

    QTemporaryDir home(QDir::tempPath() + "/chatferry-test-XXXXXX");
    if (!home.isValid())
        return 2;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + "/.local/share"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/.config"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path() + "/.cache"));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path() + "/run"));
    QDir().mkpath(home.path() + "/run");
    QFile::setPermissions(home.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QApplication app(argc, argv);
    QApplication::setApplicationName("Chatferry");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
