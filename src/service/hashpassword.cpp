#include "hashpassword.h"

#include "runtime/journal.h"

#include <QByteArray>

#include <crypt.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include <termios.h>
#include <unistd.h>

namespace {

// bcrypt's cost: 2^10 rounds, a tenth of a second or so on a small board. A login is checked
// once and then remembered, so the cost is paid rarely.
constexpr unsigned long kBcryptCost = 10;
// Longer lines are cut there: bcrypt reads only the first 72 bytes anyway.
constexpr int kMaxLine = 4096;

termios g_saved = {};
volatile std::sig_atomic_t g_echoOff = 0;

void restoreEcho()
{
    if (g_echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
        g_echoOff = 0;
    }
}

// Ctrl+C at the question must not leave the terminal without echo.
void onInterrupt(int number)
{
    restoreEcho();
    std::signal(number, SIG_DFL);
    std::raise(number);
}

bool readLine(QByteArray &line)
{
    line.clear();
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        if (line.size() < kMaxLine) {
            line.append(char(c));
        }
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    return c == '\n' || !line.isEmpty();
}

bool askQuietly(const char *question, QByteArray &answer)
{
    std::fputs(question, stderr);
    std::fflush(stderr);
    termios quiet = {};
    if (::tcgetattr(STDIN_FILENO, &g_saved) == 0) {
        quiet = g_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        g_echoOff = 1;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool got = readLine(answer);
    restoreEcho();
    std::fputs("\n", stderr);
    return got;
}

} // namespace

int printPasswordLine(const QString &name)
{
    QByteArray password;
    if (::isatty(STDIN_FILENO)) {
        std::signal(SIGINT, onInterrupt);
        std::signal(SIGTERM, onInterrupt);
        QByteArray again;
        const QByteArray question = QStringLiteral("Passwort für %1: ").arg(name).toLocal8Bit();
        if (!askQuietly(question.constData(), password) || !askQuietly("Noch einmal: ", again)) {
            return 1;
        }
        if (password != again) {
            Journal::write(Journal::Priority::Error,
                           QStringLiteral("Die beiden Passwörter sind verschieden."));
            return 1;
        }
    } else {
        readLine(password);
    }
    if (password.isEmpty()) {
        Journal::write(Journal::Priority::Error, QStringLiteral("Kein Passwort gelesen."));
        return 1;
    }
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    auto data = std::make_unique<crypt_data>();
    const char *hash = nullptr;
    if (crypt_gensalt_rn("$2b$", kBcryptCost, nullptr, 0, setting, sizeof setting) != nullptr) {
        hash = crypt_r(password.constData(), setting, data.get());
    }
    if (hash == nullptr || hash[0] == '*') {
        Journal::write(Journal::Priority::Error,
                       QStringLiteral("libcrypt kann das Passwort nicht hashen."));
        return 1;
    }
    std::printf("%s:%s\n", name.toUtf8().constData(), hash);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
