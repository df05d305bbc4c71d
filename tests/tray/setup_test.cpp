// inksetup on a private Xvfb server: which prepared entry becomes the
// autostart entry for each way of leaving the window, and its translation.
#include <gtest/gtest.h>
#include <X11/keysym.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "ink_paths.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "x/xsession.h"

using namespace inktest;
namespace fs = std::filesystem;

namespace {

const std::string kTitle = "Register to Startup";

class SetupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfb_installed())
            GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb): no X server to test on";
        reset_sandbox();
        install_program("inksetup");
        for (const char *f : {"vxd_true.desktop", "vxd_false.desktop"})
            fs::copy_file(std::string(INK_AUTOSTART_SRC_DIR) + "/" + f,
                          in_root(std::string("/usr/share/autostart/") + f));
        true_entry = *read_file(ink::path::kAutostartTrue);
        false_entry = *read_file(ink::path::kAutostartFalse);
        ASSERT_TRUE(x.start());
    }

    // Starts inksetup and waits for its window.
    XWin start(const std::string &title = kTitle) {
        p = Process::start({in_root("/usr/bin/inksetup")}, in_root("/setup.out"));
        XWin w;
        wait_until(
            [&] {
                auto f = x.find(title);
                if (f.empty())
                    return false;
                w = f[0];
                return true;
            },
            5000ms);
        // Let GTK finish mapping before keys arrive.
        struct timespec ts {
            0, 300000000
        };
        nanosleep(&ts, nullptr);
        return w;
    }
    // Waits for the program to end with status 0.
    void expect_ended() {
        auto st = p.wait(5000ms);
        ASSERT_TRUE(st.has_value()) << "inksetup should end";
        EXPECT_TRUE(WIFEXITED(*st));
        EXPECT_EQ(WEXITSTATUS(*st), 0);
    }
    std::string entry() { return read_file(ink::path::kAutostartEntry).value_or("<missing>"); }

    // Keyboard: the window opens with the focus on the check box; "OK" is
    // next in the focus chain.
    void toggle_check(Window w) { x.key(XK_space, w); }
    void press_ok(Window w) {
        x.key(XK_Tab, w);
        x.key(XK_Return, w);
    }

    XServer x;
    Process p;
    std::string true_entry, false_entry;
};

TEST_F(SetupTest, OkUncheckedReplacesARegistration) {
    write_file(ink::path::kAutostartEntry, true_entry);
    XWin w = start();
    ASSERT_NE(w.id, 0u);
    EXPECT_GE(w.w, 360);
    EXPECT_GE(w.h, 200);
    press_ok(w.id);
    expect_ended();
    EXPECT_EQ(entry(), false_entry);
}

TEST_F(SetupTest, PlainCloseInstallsTheFalseEntry) {
    XWin w = start();
    ASSERT_NE(w.id, 0u);
    x.close_request(w.id);
    expect_ended();
    EXPECT_EQ(entry(), false_entry);
}

TEST_F(SetupTest, CheckedInstallsTheTrueEntry) {
    XWin w = start();
    ASSERT_NE(w.id, 0u);
    toggle_check(w.id);
    press_ok(w.id);
    expect_ended();
    EXPECT_EQ(entry(), true_entry);

    // Checked, then the window closed: the same.
    fs::remove(ink::path::kAutostartEntry);
    w = start();
    ASSERT_NE(w.id, 0u);
    toggle_check(w.id);
    x.close_request(w.id);
    expect_ended();
    EXPECT_EQ(entry(), true_entry);
}

// A missing prepared entry leaves the current registration as it was.
TEST_F(SetupTest, MissingPreparedEntryLeavesRegistrationAlone) {
    write_file(ink::path::kAutostartEntry, true_entry);
    fs::remove(ink::path::kAutostartFalse);
    XWin w = start();
    ASSERT_NE(w.id, 0u);
    x.close_request(w.id);
    expect_ended();
    EXPECT_EQ(entry(), true_entry);
    EXPECT_FALSE(exists(std::string(ink::path::kAutostartEntry) + ".tmp"));
}

// On a system without the desktop's autostart directory it is created.
TEST_F(SetupTest, CreatesTheAutostartDirectory) {
    fs::remove_all(ink::path::kAutostartDir);
    XWin w = start();
    ASSERT_NE(w.id, 0u);
    x.close_request(w.id);
    expect_ended();
    EXPECT_EQ(entry(), false_entry);
}

// The window title passes through the "inksetup" catalogue.
TEST_F(SetupTest, TitleIsTranslated) {
    // A German user, as a German desktop sets it up. glibc takes no message
    // language under the C locales (LANGUAGE included, since 2.41), and a
    // fresh system has no other, so the test compiles de_DE.UTF-8 into the
    // sandbox for itself.
    std::string locales = in_root("/locale");
    fs::create_directories(locales);
    std::string cmd = "localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        GTEST_SKIP() << "localedef cannot compile de_DE.UTF-8 (apt-get install locales)";
    std::string dir = in_root("/usr/share/locale/de/LC_MESSAGES");
    fs::create_directories(dir);
    fs::copy_file(std::string(INK_PO_BUILD_DIR) + "/de/LC_MESSAGES/inksetup.mo",
                  dir + "/inksetup.mo");
    setenv("LOCPATH", locales.c_str(), 1);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    XWin w = start("Beim Systemstart registrieren");
    unsetenv("LC_ALL");
    unsetenv("LOCPATH");
    ASSERT_NE(w.id, 0u) << p.output();
    x.close_request(w.id);
    expect_ended();
}

}  // namespace
