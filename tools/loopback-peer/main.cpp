// parvolo-loopback: a pty "loopback plug" that stands in for a serial device with its far end
// wired back, so Parvolo can be tried, tested and benchmarked without serial hardware.

#include "peer.h"
#include "peer_logic.h"
#include "port_link.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

using namespace parvolo::loopback;

volatile std::sig_atomic_t g_stopRequested = 0;

void onStopSignal(int) {
    g_stopRequested = 1;
}

const char* homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    const passwd* entry = getpwuid(getuid());
    return entry ? entry->pw_dir : nullptr;
}

void say(const std::string& message) {
    std::fprintf(stderr, "parvolo-loopback: %s\n", message.c_str());
}

int usageError(const std::string& message) {
    say(message);
    std::fprintf(
        stderr, "%s\n",
        PlugTexts::tr("Try 'parvolo-loopback --help' for more information.").toStdString().c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Taken before Qt sees them: QCoreApplication removes the few arguments it claims for itself,
    // and the plug refuses everything it does not know.
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Messages in the user's language (LANGUAGE, then LC_ALL, LC_MESSAGES and LANG); one without
    // a translation keeps the English texts. The application exists only so the translator can
    // be installed: the plug runs its own poll loop, never Qt's.
    QCoreApplication application(argc, argv);
    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("parvolo-loopback"), QStringLiteral("_"),
                        QStringLiteral(":/i18n")))
        QCoreApplication::installTranslator(&translator);

    const ParseResult parsed = parseArguments(args);
    if (!parsed.ok()) return usageError(parsed.error);
    const Options& options = parsed.options;
    if (options.help) {
        std::fputs(usageText().toStdString().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("parvolo-loopback %s\n", PARVOLO_VERSION);
        return 0;
    }

    const std::string dir =
        resolvePortDir(options.dir, std::getenv("PARVOLO_PORT_DIR"), homeDirectory());
    if (dir.empty()) {
        return usageError(
            PlugTexts::tr("no port map directory: pass --dir, or set PARVOLO_PORT_DIR or HOME")
                .toStdString());
    }

    // The stop signals stay blocked except inside the wait, which unblocks them atomically: no
    // stop is lost between checking the flag and going to sleep. They are taken out of the wait
    // mask explicitly in case the parent started us with them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waitMask, signal);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    // A parent that stops reading our output must not kill us before the link is removed.
    std::signal(SIGPIPE, SIG_IGN);

    Peer peer(options);
    std::string error;
    if (!peer.open(error)) {
        say(error);
        return 1;
    }

    const LinkResult link = installLink(dir, options.port, peer.slavePath(), options.force);
    say(link.message);
    if (link.status == LinkResult::Status::Refused) return 2;
    if (link.status == LinkResult::Status::Failed) return 1;
    const std::string linkPath = dir + "/" + options.port;

    if (options.printReady) {
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(linkPath, ec);
        std::printf("READY %s %s\n", ec ? linkPath.c_str() : absolute.c_str(),
                    peer.slavePath().c_str());
        std::fflush(stdout);
    }

    const bool served = peer.run(g_stopRequested, waitMask, error);
    if (!served) say(error);

    say(removeLink(linkPath, peer.slavePath()).message);
    std::printf("%s\n", formatSummary(peer.stats()).c_str());
    std::fflush(stdout);
    return served ? 0 : 1;
}
