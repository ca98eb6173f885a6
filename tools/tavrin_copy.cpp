// tavrin-copy: runs one copy or move through the program's copy engine, the way the interface drives it
// (start, a snapshot and a watchdog tick every 100 ms, reap), and prints the outcome as one JSON line.

#include "base/logger.h"
#include "base/strutil.h"
#include "engine/copy_engine.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_sigint(int) {
    g_interrupted = 1;
}

void usage() {
    std::fprintf(
        stderr,
        "usage: tavrin-copy [--move] [--threads N] [--conflict ask|overwrite|skip|rename_new|"
        "rename_existing|overwrite_if_newer|cancel] SOURCE... TARGET_DIR\n"
        "\n"
        "With --conflict ask (the default) every name conflict is printed on standard output as\n"
        "  conflict<TAB>SOURCE<TAB>TARGET<TAB>file|dir\n"
        "and answered by one line on standard input: an answer such as overwrite or skip, followed\n"
        "by \"all\" to apply it to every later conflict. In the printed paths a tab is written \\t, a\n"
        "line break \\n and a backslash \\\\, so that every question is one line of four fields.\n"
        "The outcome follows as one JSON line.\n");
}

// A path for the tab-separated question line: tab, line break and backslash are escaped, so that no
// name can add a field or a line.
std::string escape_field(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string resolved(const std::string& path) {
    char* r = ::realpath(path.c_str(), nullptr);
    if (!r) return path;
    std::string out(r);
    std::free(r);
    return out;
}

bool has_dot_component(const std::string& path) {
    for (size_t i = 0; i < path.size();) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string_view part(path.data() + i, j - i);
        if (part == "." || part == "..") return true;
        i = j + 1;
    }
    return false;
}

// Relative arguments are taken from the working folder; a trailing "/" is dropped so that the source's
// own name is used in the target. "." and ".." are resolved, so that "." copies the folder under its
// own name rather than into the target itself; the last component is kept as it is otherwise, so that
// a link is copied as a link.
std::string absolute(const std::string& arg) {
    std::string p = arg;
    if (p.empty() || p[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return {};
        p = su::join_path(cwd, p);
    }
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (!has_dot_component(p)) return p;
    std::string base = su::basename_of(p);
    if (base == "." || base == "..") return resolved(p);
    std::string dir = su::parent_of(p);
    return su::join_path(resolved(dir.empty() ? "/" : dir), base);
}

std::string json_string(const std::string& raw) {
    std::string s = su::sanitize_utf8(raw);
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string human_bytes(double b) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int u = 0;
    while (b >= 1024.0 && u < 5) {
        b /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", b, kUnits[u]);
    return buf;
}

std::string clock_text(double seconds) {
    if (seconds < 0) return "--:--";
    long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

void draw_progress(const copy_engine::Progress& p) {
    // A finished transfer shows its average; while running, the smoothed rate of the engine.
    double rate = p.bytes_per_second;
    if (!p.running && p.elapsed_seconds > 0) rate = static_cast<double>(p.bytes_done) / p.elapsed_seconds;
    std::string line;
    if (p.scanning) {
        line = "measuring … " + std::to_string(p.files_total) + " files";
    } else {
        line = std::to_string(p.files_done) + "/" + std::to_string(p.files_total) + " files  " +
               human_bytes(static_cast<double>(p.bytes_done)) + " / " +
               human_bytes(static_cast<double>(p.bytes_total)) + "  " + human_bytes(rate) + "/s  left " +
               clock_text(p.seconds_remaining) + "  " + std::to_string(p.threads_active) + " threads";
        if (!p.stalled_path.empty()) line += "  waiting for " + su::basename_of(p.stalled_path);
    }
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
}

void print_json(const copy_engine::Progress& p) {
    std::string out = "{";
    auto num = [&](const char* key, long long v) {
        out += "\"" + std::string(key) + "\":" + std::to_string(v) + ",";
    };
    auto flag = [&](const char* key, bool v) {
        out += "\"" + std::string(key) + "\":" + (v ? "true" : "false") + ",";
    };
    out +=
        "\"operation\":" + json_string(p.operation == copy_engine::Operation::Move ? "move" : "copy") + ",";
    num("files_total", p.files_total);
    num("files_done", p.files_done);
    num("files_copied", p.files_copied);
    num("files_cancelled", p.files_cancelled);
    num("bytes_total", p.bytes_total);
    num("bytes_done", p.bytes_done);
    num("cloned", p.cloned);
    num("retried", p.retried);
    flag("cancelled", p.cancelled);
    flag("disk_full", p.disk_full);
    num("failures_total", static_cast<long long>(p.failures_total));
    out += "\"failures\":[";
    for (size_t i = 0; i < p.failures.size(); ++i) {
        const copy_engine::FailedItem& f = p.failures[i];
        if (i) out += ",";
        out += "{\"path\":" + json_string(f.path) + ",\"target\":" + json_string(f.target) +
               ",\"message\":" + json_string(f.message) + ",\"attempts\":" + std::to_string(f.attempts) +
               ",\"code\":" + std::to_string(f.code) + "}";
    }
    out += "],";
    char secs[64];
    std::snprintf(secs, sizeof secs, "%.3f", p.elapsed_seconds);
    out += "\"elapsed_seconds\":" + std::string(secs) + ",";
    num("threads", p.threads_active);
    out += "\"device_summary\":" + json_string(p.device_summary) + "}";
    std::printf("%s\n", out.c_str());
    std::fflush(stdout);
}

// Answers arrive as whole lines on standard input; reading never blocks the 100 ms loop.
class LineReader {
public:
    // True when a complete line is available in `line`.
    bool poll_line(std::string& line) {
        if (take(line)) return true;
        if (m_eof) return false;
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0) return false;
        char buf[4096];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            m_eof = true;
        else if (n > 0)
            m_buf.append(buf, static_cast<size_t>(n));
        if (take(line)) return true;
        if (m_eof && !m_buf.empty()) {
            line.swap(m_buf);
            m_buf.clear();
            return true;
        }
        return false;
    }
    bool eof() const { return m_eof && m_buf.empty(); }

private:
    bool take(std::string& line) {
        size_t nl = m_buf.find('\n');
        if (nl == std::string::npos) return false;
        line = m_buf.substr(0, nl);
        m_buf.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
    std::string m_buf;
    bool m_eof = false;
};

// "ACTION" or "ACTION all"; blanks around the words do not matter.
bool parse_answer(const std::string& line, copy_engine::ConflictAction& action, bool& all) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    all = words.size() == 2 && words[1] == "all";
    if (words.empty() || words.size() > 2 || (words.size() == 2 && !all)) return false;
    return copy_engine::parse_conflict_action(words[0], action) && action != copy_engine::ConflictAction::Ask;
}

} // namespace

int main(int argc, char** argv) {
    bool move = false;
    int threads = 0;
    copy_engine::ConflictAction rule = copy_engine::ConflictAction::Ask;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--move") {
            move = true;
        } else if (a == "--threads" && i + 1 < argc) {
            char* end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (!end || *end || n < 0 || n > 1024) {
                usage();
                return 2;
            }
            threads = static_cast<int>(n);
        } else if (a == "--conflict" && i + 1 < argc) {
            if (!copy_engine::parse_conflict_action(argv[++i], rule)) {
                usage();
                return 2;
            }
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else if (a == "--") {
            for (++i; i < argc; ++i)
                paths.push_back(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            usage();
            return 2;
        } else {
            paths.push_back(a);
        }
    }
    if (paths.size() < 2) {
        usage();
        return 2;
    }
    std::vector<std::string> sources;
    for (size_t i = 0; i + 1 < paths.size(); ++i)
        sources.push_back(absolute(paths[i]));
    std::string target = absolute(paths.back());

    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    copy_engine::Engine& engine = copy_engine::instance();
    if (!engine.start(sources, target, move ? copy_engine::Operation::Move : copy_engine::Operation::Copy,
                      threads, rule)) {
        std::fprintf(stderr, "tavrin-copy: the transfer could not be started\n");
        return 2;
    }

    const bool live = isatty(STDERR_FILENO);
    LineReader answers;
    // The question printed last and the one answered last: each is printed once and answered once, also
    // while the engine still shows a question whose answer it has not taken yet.
    uint64_t asked_serial = 0;
    uint64_t answered_serial = 0;
    bool cancel_sent = false;
    for (;;) {
        copy_engine::Progress p = engine.snapshot();
        engine.watchdog_tick();
        Log::instance().flush_pending();
        if (g_interrupted && !cancel_sent) {
            engine.cancel();
            cancel_sent = true;
        }
        if (p.conflict.pending && rule == copy_engine::ConflictAction::Ask &&
            p.conflict.serial != answered_serial) {
            if (p.conflict.serial != asked_serial) {
                asked_serial = p.conflict.serial;
                std::printf("conflict\t%s\t%s\t%s\n", escape_field(p.conflict.source_path).c_str(),
                            escape_field(p.conflict.target_path).c_str(), p.conflict.is_dir ? "dir" : "file");
                std::fflush(stdout);
            }
            std::string line;
            while (answers.poll_line(line)) {
                copy_engine::ConflictAction a;
                bool all = false;
                if (parse_answer(line, a, all)) {
                    engine.resolve_conflict(a, all);
                    answered_serial = p.conflict.serial;
                    break;
                }
                std::fprintf(stderr, "tavrin-copy: not an answer: %s\n", line.c_str());
            }
            // Nobody is left to answer: stop rather than wait for ever. (A last answer without a line
            // end arrives together with the end of input and has just been given.)
            if (answered_serial != p.conflict.serial && answers.eof() && !cancel_sent) {
                engine.cancel();
                cancel_sent = true;
            }
        }
        if (live) draw_progress(p);
        if (!p.running && p.finished) break;
        // One snapshot per 100 ms, but the end is noticed at once so that short transfers are not padded.
        engine.wait_finished(100);
    }
    engine.reap();
    copy_engine::Progress last = engine.snapshot();
    if (live) {
        draw_progress(last);
        std::fprintf(stderr, "\n");
    }
    print_json(last);
    return last.failures_total == 0 && !last.cancelled ? 0 : 1;
}
