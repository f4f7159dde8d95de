// Runs the password prompt once and reports what it returned, for the tests
// that drive it through a pseudo-terminal or a pipe: "rc=<n> pw=<password>".
#include <cstdio>

#include "base/prompt.h"

int main() {
    char password[PASSWORD_CAP] = {0};
    int rc = prompt_password(password);
    std::printf("rc=%d pw=%s\n", rc, password);
    return 0;
}
