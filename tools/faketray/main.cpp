// inkfaketray: the fake tray program (testing/standins/fake_tray.h), for the
// tests and the demos.
#include "standins/fake_tray.h"

int main() {
    return inktest::run_fake_tray();
}
