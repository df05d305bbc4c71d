// The choice file and the rules that pick the monitor the suite works on.
#include "monitors.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using ink::monitors::Choice;
using ink::monitors::Layout;
using ink::monitors::Monitor;
using ink::monitors::Rect;
using Kind = ink::monitors::Choice::Kind;

Layout layout(std::vector<Monitor> m, Rect screen) {
    Layout l;
    l.monitors = std::move(m);
    l.screen = screen;
    return l;
}

// A laptop panel (primary) left of a projector.
const Layout kLaptop =
    layout({{"eDP-1", {0, 0, 1920, 1080}, true}, {"HDMI-1", {1920, 0, 1280, 720}, false}},
           {0, 0, 3200, 1080});

Choice parse(const std::string &text) {
    Choice c;
    std::string err;
    EXPECT_TRUE(ink::monitors::parse_choice(text, &c, &err)) << text << ": " << err;
    return c;
}

TEST(MonitorChoice, TheThreeFormsParseWithBlanksAndOneNewline) {
    EXPECT_EQ(parse("all").kind, Kind::All);
    EXPECT_EQ(parse("  all \n").kind, Kind::All);
    Choice c = parse("monitor 1\n");
    EXPECT_EQ(c.kind, Kind::Index);
    EXPECT_EQ(c.index, 1);
    EXPECT_EQ(parse("monitor\t12").index, 12);
    c = parse("HDMI-1\n");
    EXPECT_EQ(c.kind, Kind::Name);
    EXPECT_EQ(c.name, "HDMI-1");
    EXPECT_EQ(parse("DP-1.2_x").name, "DP-1.2_x");
    // A name may begin as a keyword does.
    EXPECT_EQ(parse("monitors").name, "monitors");
    EXPECT_EQ(parse("allx").name, "allx");
}

TEST(MonitorChoice, AnythingElseIsRefusedWithAReason) {
    for (const char *bad :
         {"", "\n", "   ", "monitor", "monitor x", "monitor -1", "monitor 1 2", "monitor 1000",
          "all\nall", "HDMI 1", "HDMI-1\n\n", "ä", "a/b", "all\r\nmore"}) {
        Choice c;
        c.kind = Kind::All;
        std::string err;
        EXPECT_FALSE(ink::monitors::parse_choice(bad, &c, &err)) << '"' << bad << '"';
        EXPECT_FALSE(err.empty()) << bad;
        EXPECT_EQ(c.kind, Kind::All) << "a refused text leaves the choice alone";
    }
    Choice c;
    std::string err;
    EXPECT_FALSE(ink::monitors::parse_choice(std::string(65, 'a'), &c, &err));
    EXPECT_TRUE(ink::monitors::parse_choice(std::string(64, 'a'), &c, &err));
}

TEST(MonitorChoice, FormattedChoicesParseBack) {
    for (const char *line : {"all", "monitor 0", "monitor 7", "HDMI-1"}) {
        EXPECT_EQ(ink::monitors::format_choice(parse(line)), line);
    }
}

TEST(MonitorSelection, WithoutAChoiceOneTwoAndMoreMonitors) {
    auto one = layout({{"eDP-1", {0, 0, 1366, 768}, true}}, {0, 0, 1366, 768});
    auto s = ink::monitors::select(one, Choice{});
    EXPECT_EQ(s.index, 0);
    EXPECT_EQ(s.rect, (Rect{0, 0, 1366, 768}));

    // Of two, the one that is not the primary, wherever the primary is.
    s = ink::monitors::select(kLaptop, Choice{});
    EXPECT_EQ(s.index, 1);
    EXPECT_EQ(s.rect, (Rect{1920, 0, 1280, 720}));
    auto swapped = kLaptop;
    swapped.monitors[0].primary = false;
    swapped.monitors[1].primary = true;
    EXPECT_EQ(ink::monitors::select(swapped, Choice{}).rect, (Rect{0, 0, 1920, 1080}));

    auto three = kLaptop;
    three.monitors.push_back({"DP-2", {0, 1080, 800, 600}, false});
    three.screen = {0, 0, 3200, 1680};
    s = ink::monitors::select(three, Choice{});
    EXPECT_EQ(s.index, -1);
    EXPECT_EQ(s.rect, (Rect{0, 0, 3200, 1680}));
    EXPECT_NE(s.reason.find("3 monitors"), std::string::npos) << s.reason;
}

TEST(MonitorSelection, ChoicesAndChoicesOfMonitorsThatAreNotThere) {
    EXPECT_EQ(ink::monitors::select(kLaptop, parse("all")).rect, (Rect{0, 0, 3200, 1080}));
    EXPECT_EQ(ink::monitors::select(kLaptop, parse("monitor 0")).rect, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(ink::monitors::select(kLaptop, parse("eDP-1")).index, 0);
    EXPECT_EQ(ink::monitors::select(kLaptop, parse("HDMI-1")).index, 1);
    // Unplugged: the default rules take over, and say why.
    auto s = ink::monitors::select(kLaptop, parse("monitor 2"));
    EXPECT_EQ(s.index, 1);
    EXPECT_NE(s.reason.find("monitor 2 is not there"), std::string::npos) << s.reason;
    s = ink::monitors::select(kLaptop, parse("DP-3"));
    EXPECT_EQ(s.rect, (Rect{1920, 0, 1280, 720}));
    EXPECT_NE(s.reason.find("DP-3 is not there"), std::string::npos) << s.reason;
}

class ChoiceFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/inkmon-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
    std::string dir_;
};

TEST_F(ChoiceFile, PathFollowsXdgConfigHomeElseHome) {
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string old_xdg = xdg ? xdg : "";
    std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/anna", 1);
    setenv("XDG_CONFIG_HOME", "/srv/conf", 1);
    EXPECT_EQ(ink::monitors::choice_path(), "/srv/conf/vexor-driver/screen");
    setenv("XDG_CONFIG_HOME", "relative/conf", 1);  // not absolute: ignored
    EXPECT_EQ(ink::monitors::choice_path(), "/home/anna/.config/vexor-driver/screen");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ink::monitors::choice_path(), "/home/anna/.config/vexor-driver/screen");
    setenv("HOME", old_home.c_str(), 1);
    if (xdg)
        setenv("XDG_CONFIG_HOME", old_xdg.c_str(), 1);
}

TEST_F(ChoiceFile, WrittenAtomicallyIntoDirectoriesMadeOnTheWay) {
    std::string path = dir_ + "/conf/vexor-driver/screen";
    std::string err, diag;
    ASSERT_TRUE(ink::monitors::write_choice(path, parse("HDMI-1"), &err)) << err;
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "HDMI-1\n");
    Choice c = ink::monitors::read_choice(path, &diag);
    EXPECT_EQ(c.kind, Kind::Name);
    EXPECT_EQ(diag, "");
    ASSERT_TRUE(ink::monitors::write_choice(path, parse("monitor 3"), &err)) << err;
    EXPECT_EQ(ink::monitors::read_choice(path, &diag).index, 3);
    // Nothing but the file is left beside it.
    int n = 0;
    for (auto &e : std::filesystem::directory_iterator(dir_ + "/conf/vexor-driver")) {
        EXPECT_EQ(e.path().filename(), "screen");
        ++n;
    }
    EXPECT_EQ(n, 1);
    EXPECT_FALSE(ink::monitors::write_choice(path, Choice{}, &err)) << "no line for the default";
    EXPECT_FALSE(ink::monitors::write_choice("", parse("all"), &err));
}

TEST_F(ChoiceFile, UnusableFilesGiveTheDefaultAndSaySo) {
    std::string diag = "stale";
    EXPECT_EQ(ink::monitors::read_choice(dir_ + "/missing", &diag).kind, Kind::Default);
    EXPECT_EQ(diag, "") << "a missing file is the ordinary default";

    write(dir_ + "/bad", "monitor one\n");
    EXPECT_EQ(ink::monitors::read_choice(dir_ + "/bad", &diag).kind, Kind::Default);
    EXPECT_NE(diag.find("monitor takes a number"), std::string::npos) << diag;

    write(dir_ + "/long", std::string(300, 'a'));
    EXPECT_EQ(ink::monitors::read_choice(dir_ + "/long", &diag).kind, Kind::Default);
    EXPECT_NE(diag.find("longer than one line"), std::string::npos) << diag;

    mkdir((dir_ + "/adir").c_str(), 0700);
    EXPECT_EQ(ink::monitors::read_choice(dir_ + "/adir", &diag).kind, Kind::Default);
    EXPECT_NE(diag.find("not a regular file"), std::string::npos) << diag;

    // A pipe in its place must not block the reader.
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(ink::monitors::read_choice(dir_ + "/fifo", &diag).kind, Kind::Default);
    EXPECT_NE(diag.find("not a regular file"), std::string::npos) << diag;

    if (getuid() != 0) {
        write(dir_ + "/locked", "all\n");
        chmod((dir_ + "/locked").c_str(), 0);
        EXPECT_EQ(ink::monitors::read_choice(dir_ + "/locked", &diag).kind, Kind::Default);
        EXPECT_NE(diag.find("Permission denied"), std::string::npos) << diag;
    }
}

}  // namespace
