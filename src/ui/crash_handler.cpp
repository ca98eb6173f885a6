#include "ui/crash_handler.h"

#include "base/logger.h"
#include "base/version.h"
#include "ui/desktop_theme.h"
#include "ui/painter.h"
#include "ui/theme.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kProgram = version::kProduct;
using version::kBuild;
using version::kVersion;
constexpr const char* kReportName = "Tavrin_crash.txt";
constexpr const char* kNoticeOption = "--crash-notice=";
constexpr int kSignals[] = {SIGSEGV, SIGABRT, SIGFPE, SIGBUS, SIGILL, SIGTRAP};
constexpr int kMaxFrames = 128;

// Everything the handler touches is prepared at install() into these, because inside the handler only
// async-signal-safe calls are allowed: no allocation, no stdio, no locale.
// Where the report may go, best first: the runtime directory can vanish before a crash (the session
// ended), so the temporary directories stay as fallbacks. Empty entries are unused.
constexpr int kReportPlaces = 3;
char g_report_paths[kReportPlaces][PATH_MAX];
char g_notice_args[kReportPlaces][PATH_MAX + 32];
char g_exe_path[PATH_MAX];
char g_log_path[PATH_MAX];
std::atomic<bool> g_silent{false};
std::atomic<bool> g_installed{false};
// Thread id of the thread writing a report, 0 while none is.
std::atomic<long> g_reporting_tid{0};

// Big enough for backtrace() and the symbol lookup after a stack overflow has used up the normal stack.
alignas(16) char g_alt_stack[256 * 1024];

// The executable's own symbol table (.symtab, else .dynsym), mapped read-only from the file, so that
// frames in the program, static functions included, get names without -rdynamic or dladdr().
struct SymbolTable {
    const unsigned char* image = nullptr;
    size_t image_size = 0;
    const Elf64_Sym* symbols = nullptr;
    size_t count = 0;
    const char* names = nullptr;
    size_t names_size = 0;
    uintptr_t bias = 0; // load address minus link address
    uintptr_t lo = 0;   // the executable's mapped address range
    uintptr_t hi = 0;
};
SymbolTable g_symbols;

// ---- async-signal-safe output --------------------------------------------------------------------

class Out {
public:
    explicit Out(int fd) : m_fd(fd) {}
    ~Out() { flush(); }
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    Out& str(const char* s) {
        while (s && *s)
            chr(*s++);
        return *this;
    }
    Out& str(const char* s, size_t n) {
        for (size_t i = 0; i < n && s[i]; ++i)
            chr(s[i]);
        return *this;
    }
    Out& dec(long long v) {
        char buf[24];
        int n = 0;
        unsigned long long u =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            buf[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u);
        if (v < 0) chr('-');
        while (n)
            chr(buf[--n]);
        return *this;
    }
    // Zero-padded to `width` digits (for times).
    Out& dec(long long v, int width) {
        long long limit = 1;
        for (int i = 1; i < width; ++i)
            limit *= 10;
        for (; limit > 1 && v < limit && v >= 0; limit /= 10)
            chr('0');
        return dec(v);
    }
    Out& hex(uintptr_t v) {
        char buf[2 * sizeof v];
        int n = 0;
        do {
            buf[n++] = "0123456789abcdef"[v & 0xF];
            v >>= 4;
        } while (v);
        str("0x");
        while (n)
            chr(buf[--n]);
        return *this;
    }
    Out& chr(char c) {
        if (m_len == sizeof m_buf) flush();
        m_buf[m_len++] = c;
        return *this;
    }
    void flush() {
        size_t done = 0;
        while (m_fd >= 0 && done < m_len) {
            ssize_t n = write(m_fd, m_buf + done, m_len - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        m_len = 0;
    }

private:
    int m_fd;
    char m_buf[1024];
    size_t m_len = 0;
};

const char* signal_name(int sig) {
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV, segmentation fault";
    case SIGABRT:
        return "SIGABRT, aborted";
    case SIGFPE:
        return "SIGFPE, arithmetic exception";
    case SIGBUS:
        return "SIGBUS, bus error";
    case SIGILL:
        return "SIGILL, illegal instruction";
    case SIGTRAP:
        return "SIGTRAP, trace trap";
    default:
        return "unexpected signal";
    }
}

// Whether si_addr means something: a fault raised by the hardware, not a signal sent with kill/raise.
bool has_fault_address(int sig, const siginfo_t* info) {
    if (!info || info->si_code <= 0) return false;
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP;
}

// Civil date from days since 1970-01-01 (H. Hinnant's algorithm); no library call is safe here.
void write_utc(Out& out, time_t t) {
    long long secs = static_cast<long long>(t);
    long long days = secs / 86400;
    long long rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    out.dec(y, 4).chr('-').dec(m, 2).chr('-').dec(d, 2).chr(' ');
    out.dec(rem / 3600, 2).chr(':').dec(rem / 60 % 60, 2).chr(':').dec(rem % 60, 2).str(" UTC");
}

// Name of the function containing `addr` in the executable, with the offset into it; false when unknown.
bool write_symbol(Out& out, uintptr_t addr) {
    const SymbolTable& t = g_symbols;
    if (!t.symbols || addr < t.lo || addr >= t.hi) return false;
    const uintptr_t rel = addr - t.bias;
    const Elf64_Sym* best = nullptr;
    for (size_t i = 0; i < t.count; ++i) {
        const Elf64_Sym& s = t.symbols[i];
        const unsigned type = ELF64_ST_TYPE(s.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || s.st_shndx == SHN_UNDEF || s.st_size == 0)
            continue;
        if (rel >= s.st_value && rel - s.st_value < s.st_size) {
            best = &s;
            break;
        }
    }
    if (!best || best->st_name >= t.names_size) return false;
    out.str(t.names + best->st_name, t.names_size - best->st_name).chr('+').hex(rel - best->st_value);
    return true;
}

// The interrupted instruction, from the context the kernel saved; 0 where unknown.
uintptr_t interrupted_pc(const void* context) {
    if (!context) return 0;
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

void write_backtrace(int fd, uintptr_t pc_at_signal) {
    void* frames[kMaxFrames];
    const int n = backtrace(frames, kMaxFrames);
    // Start at the interrupted instruction: the frames before it are this handler and the signal trampoline.
    int first = 0;
    for (int i = 0; i < n && pc_at_signal; ++i) {
        if (reinterpret_cast<uintptr_t>(frames[i]) == pc_at_signal) {
            first = i;
            break;
        }
    }
    for (int i = first; i < n; ++i) {
        const auto pc = reinterpret_cast<uintptr_t>(frames[i]);
        Out out(fd);
        out.chr('#').dec(i - first).str(i - first < 10 ? "  " : " ").hex(pc).chr(' ');
        // A return address may point just past the end of its calling function; the interrupted
        // instruction itself does not.
        const bool return_address = !(i == first && pc == pc_at_signal);
        if (write_symbol(out, return_address ? pc - 1 : pc)) {
            out.str(" (").str(g_exe_path).str(")\n");
            continue;
        }
        out.flush();
        backtrace_symbols_fd(&frames[i], 1, fd);
    }
}

void write_report(int fd, int sig, const siginfo_t* info, const void* context, long tid) {
    const uintptr_t pc = interrupted_pc(context);
    {
        Out out(fd);
        out.str(kProgram)
            .chr(' ')
            .str(kVersion)
            .str(", build ")
            .str(kBuild)
            .str(" stopped unexpectedly.\n\n");
        out.str("Signal:      ").dec(sig).str(" (").str(signal_name(sig)).str(")");
        if (info) out.str(", code ").dec(info->si_code);
        out.chr('\n');
        if (has_fault_address(sig, info))
            out.str("Address:     ").hex(reinterpret_cast<uintptr_t>(info->si_addr)).chr('\n');
        else if (info && info->si_code <= 0)
            out.str("Sent by:     pid ").dec(info->si_pid).chr('\n');
        if (pc) out.str("Instruction: ").hex(pc).chr('\n');
        out.str("Process:     pid ").dec(getpid()).str(", thread ").dec(tid).chr('\n');
        timespec now{};
        if (clock_gettime(CLOCK_REALTIME, &now) == 0) {
            out.str("Time:        ");
            write_utc(out, now.tv_sec);
            out.chr('\n');
        }
        out.str("Executable:  ").str(g_exe_path[0] ? g_exe_path : "(unknown)").chr('\n');
        out.str("Log file:    ").str(g_log_path[0] ? g_log_path : "(none)").chr('\n');
        out.str("\nBacktrace (C++ names are mangled; c++filt decodes them):\n");
    }
    write_backtrace(fd, pc);
}

// The report's name is fixed, so in a shared temporary directory someone else may have put a symbolic link
// there: never follow one, and replace our own stale link or file instead.
int open_report_at(const char* path) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path, flags, 0600);
    if (fd < 0 && errno == ELOOP && unlink(path) == 0) fd = open(path, flags | O_EXCL, 0600);
    return fd;
}

// Opens the first place that takes the report; `place` tells which.
int open_report(int& place) {
    for (place = 0; place < kReportPlaces && g_report_paths[place][0]; ++place) {
        const int fd = open_report_at(g_report_paths[place]);
        if (fd >= 0) return fd;
    }
    place = 0;
    return -1;
}

void start_notice(int place) {
    if (g_silent.load() || !g_exe_path[0]) return;
    pid_t pid = _Fork(); // unlike fork(), runs no atfork handlers: safe here
    if (pid != 0) return;
    // The child inherits the handler's blocked signals and every descriptor of the dying process (pipes
    // a parent may wait on among them); start the notice clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
    setsid();
    char* argv[] = {g_exe_path, g_notice_args[place], nullptr};
    // Through /proc first: that still works when the program file was replaced or removed since start.
    execve("/proc/self/exe", argv, environ);
    execve(g_exe_path, argv, environ);
    _exit(127);
}

[[noreturn]] void die_by(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    // Only reached when the default action does not end the process (it always should).
    _exit(128 + sig);
}

void on_fatal_signal(int sig, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    const long tid = syscall(SYS_gettid);
    long expected = 0;
    if (!g_reporting_tid.compare_exchange_strong(expected, tid)) {
        // A fault while reporting: give up on the report. Another thread's crash: let the first report
        // finish, its re-raise ends the process.
        if (expected != tid) {
            timespec pause{0, 50 * 1000 * 1000};
            for (int i = 0; i < 200; ++i)
                nanosleep(&pause, nullptr);
        }
        die_by(sig);
    }

    int place = 0;
    const int fd = open_report(place);
    if (fd >= 0) {
        write_report(fd, sig, info, context, tid);
        fsync(fd);
        close(fd);
    }
    {
        Out err(STDERR_FILENO);
        err.str(kProgram).str(": fatal signal ").dec(sig).str(" (").str(signal_name(sig)).str(")");
        if (fd >= 0)
            err.str(", report saved to ").str(g_report_paths[place]);
        else
            err.str(", no report could be written to ").str(g_report_paths[0]);
        err.chr('\n');
    }
    if (fd >= 0) start_notice(place);
    errno = saved_errno;
    die_by(sig);
}

// ---- install-time preparation ------------------------------------------------------------------

bool copy_to(char* dst, size_t cap, const std::string& src) {
    if (src.size() + 1 > cap || src.find('\0') != std::string::npos) {
        dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, src.c_str(), src.size() + 1);
    return true;
}

bool usable_dir(const char* dir) {
    if (!dir || dir[0] != '/') return false;
    struct stat st {};
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && access(dir, W_OK | X_OK) == 0;
}

void choose_report_places() {
    std::vector<std::string> dirs;
    for (const char* var : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* dir = getenv(var);
        if (usable_dir(dir) && std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.emplace_back(dir);
    }
    // The place of last resort, even when it looks unusable now.
    if (std::find(dirs.begin(), dirs.end(), "/tmp") == dirs.end()) dirs.emplace_back("/tmp");
    int k = 0;
    for (const std::string& dir : dirs) {
        if (k == kReportPlaces) break;
        if (!copy_to(g_report_paths[k], PATH_MAX, dir + "/" + kReportName)) continue;
        copy_to(g_notice_args[k], sizeof g_notice_args[k], std::string(kNoticeOption) + g_report_paths[k]);
        ++k;
    }
}

int find_main_program(dl_phdr_info* info, size_t, void* data) {
    // The first object reported is the program itself.
    auto* t = static_cast<SymbolTable*>(data);
    t->bias = info->dlpi_addr;
    uintptr_t lo = UINTPTR_MAX;
    uintptr_t hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        lo = std::min<uintptr_t>(lo, info->dlpi_addr + ph.p_vaddr);
        hi = std::max<uintptr_t>(hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
    }
    t->lo = lo == UINTPTR_MAX ? 0 : lo;
    t->hi = hi;
    return 1;
}

// Maps the executable and finds its symbol table. The mapping stays for the life of the process.
void load_symbols() {
    const int fd = open(g_exe_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    void* map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(sizeof(Elf64_Ehdr)))
        map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return;
    const auto* image = static_cast<const unsigned char*>(map);
    const size_t size = static_cast<size_t>(st.st_size);
    auto unmap = [&] { munmap(map, size); };

    const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(image);
    if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64 ||
        eh->e_shentsize != sizeof(Elf64_Shdr) || eh->e_shoff == 0 || eh->e_shoff > size ||
        eh->e_shnum > (size - eh->e_shoff) / sizeof(Elf64_Shdr))
        return unmap();
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image + eh->e_shoff);
    const Elf64_Shdr* symtab = nullptr;
    for (unsigned want : {SHT_SYMTAB, SHT_DYNSYM}) {
        for (unsigned i = 0; i < eh->e_shnum && !symtab; ++i)
            if (sections[i].sh_type == want) symtab = &sections[i];
        if (symtab) break;
    }
    if (!symtab || symtab->sh_link >= eh->e_shnum) return unmap();
    const Elf64_Shdr& strtab = sections[symtab->sh_link];
    if (symtab->sh_offset > size || symtab->sh_size > size - symtab->sh_offset || strtab.sh_offset > size ||
        strtab.sh_size > size - strtab.sh_offset || symtab->sh_offset % alignof(Elf64_Sym) != 0)
        return unmap();

    SymbolTable t;
    t.image = image;
    t.image_size = size;
    t.symbols = reinterpret_cast<const Elf64_Sym*>(image + symtab->sh_offset);
    t.count = symtab->sh_size / sizeof(Elf64_Sym);
    t.names = reinterpret_cast<const char*>(image + strtab.sh_offset);
    t.names_size = strtab.sh_size;
    dl_iterate_phdr(find_main_program, &t);
    if (t.hi <= t.lo) return unmap();
    g_symbols = t;
}

// ---- the notice window -------------------------------------------------------------------------

struct Notice {
    std::string message;
    size_t bold_bytes = 0; // the first sentence is set in bold
    Palette palette;
    GtkWidget* window = nullptr;
    double button_x = 0, button_y = 0, button_w = 0, button_h = 0;
    bool hover = false;
};

constexpr int kPad = 22;
constexpr int kTextWidth = 440;
constexpr int kButtonW = 96;
constexpr int kButtonH = 32;

PangoLayout* message_layout(cairo_t* cr, const Notice& n) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string("Sans 10.5");
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    pango_layout_set_width(layout, kTextWidth * PANGO_SCALE);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_text(layout, n.message.c_str(), -1);
    PangoAttrList* attrs = pango_attr_list_new();
    PangoAttribute* bold = pango_attr_weight_new(PANGO_WEIGHT_BOLD);
    bold->start_index = 0;
    bold->end_index = static_cast<guint>(n.bold_bytes);
    pango_attr_list_insert(attrs, bold);
    pango_layout_set_attributes(layout, attrs);
    pango_attr_list_unref(attrs);
    return layout;
}

gboolean on_notice_draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
    auto* n = static_cast<Notice*>(data);
    const double w = gtk_widget_get_allocated_width(widget);
    const double h = gtk_widget_get_allocated_height(widget);
    Painter pt(cr);
    pt.set_colour(n->palette.bar);
    cairo_paint(cr);
    // A danger-coloured band on the left marks this as an error, as the error dialogs do.
    pt.fill_rect(0, 0, 5, h, n->palette.danger);

    PangoLayout* layout = message_layout(cr, *n);
    pt.set_colour(n->palette.text);
    cairo_move_to(cr, kPad, kPad);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);

    n->button_w = kButtonW;
    n->button_h = kButtonH;
    n->button_x = w - kPad - kButtonW;
    n->button_y = h - kPad - kButtonH;
    const std::string face = n->hover ? mix_hex("#FFFFFF", n->palette.accent, 0.15) : n->palette.accent;
    pt.fill_rounded(n->button_x, n->button_y, n->button_w, n->button_h, 5, face);

    PangoLayout* label = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string("Sans Bold 10");
    pango_layout_set_font_description(label, font);
    pango_font_description_free(font);
    pango_layout_set_text(label, "Close", -1);
    int lw = 0, lh = 0;
    pango_layout_get_pixel_size(label, &lw, &lh);
    pt.set_colour(n->palette.selection_text);
    cairo_move_to(cr, n->button_x + (n->button_w - lw) / 2, n->button_y + (n->button_h - lh) / 2);
    pango_cairo_show_layout(cr, label);
    g_object_unref(label);
    return TRUE;
}

bool in_button(const Notice& n, double x, double y) {
    return x >= n.button_x && x < n.button_x + n.button_w && y >= n.button_y && y < n.button_y + n.button_h;
}

gboolean on_notice_motion(GtkWidget* widget, GdkEventMotion* ev, gpointer data) {
    auto* n = static_cast<Notice*>(data);
    const bool hover = in_button(*n, ev->x, ev->y);
    if (hover != n->hover) {
        n->hover = hover;
        gtk_widget_queue_draw(widget);
    }
    return FALSE;
}

gboolean on_notice_release(GtkWidget*, GdkEventButton* ev, gpointer data) {
    auto* n = static_cast<Notice*>(data);
    if (ev->button == 1 && in_button(*n, ev->x, ev->y)) gtk_widget_destroy(n->window);
    return TRUE;
}

gboolean on_notice_key(GtkWidget*, GdkEventKey* ev, gpointer data) {
    auto* n = static_cast<Notice*>(data);
    switch (ev->keyval) {
    case GDK_KEY_Escape:
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
    case GDK_KEY_space:
        gtk_widget_destroy(n->window);
        return TRUE;
    default:
        return FALSE;
    }
}

// Height of the wrapped message, measured before the window exists.
int message_height(const Notice& n) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(surface);
    PangoLayout* layout = message_layout(cr, n);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return h;
}

} // namespace

void CrashHandler::set_silent(bool silent) {
    g_silent.store(silent);
}

const char* CrashHandler::report_path() {
    return g_report_paths[0];
}

void CrashHandler::install() {
    if (g_installed.exchange(true)) return;

    choose_report_places();
    char exe[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    copy_to(g_exe_path, sizeof g_exe_path,
            len > 0 ? std::string(exe, static_cast<size_t>(len)) : std::string());
    copy_to(g_log_path, sizeof g_log_path, Log::instance().file_path_c_str());

    // backtrace() loads libgcc's unwinder lazily, and backtrace_symbols_fd() binds dladdr(): do both now,
    // outside any signal handler.
    void* frames[4];
    const int n = backtrace(frames, 4);
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
        backtrace_symbols_fd(frames, n, devnull);
        close(devnull);
    }
    load_symbols();

    stack_t alt{};
    alt.ss_sp = g_alt_stack;
    alt.ss_size = sizeof g_alt_stack;
    sigaltstack(&alt, nullptr);

    struct sigaction sa {};
    sa.sa_sigaction = on_fatal_signal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    // While one fatal signal is reported, the others wait (a second one goes to the guard in the handler).
    for (int sig : kSignals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : kSignals)
        sigaction(sig, &sa, nullptr);
}

int CrashHandler::run_notice(const char* report_path) {
    Notice n;
    const std::string first = std::string(kProgram) + " stopped unexpectedly.";
    const std::string path = report_path ? report_path : "";
    n.bold_bytes = first.size();
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "%s A report was saved to %s.\n", first.c_str(), path.c_str());
        return 0;
    }
    // In the window the path gets a line of its own, so that it is not broken at an arbitrary slash.
    n.message = first + " A report was saved to\n" + path + ".";
    n.palette = desktop_theme::prefers_dark() ? Palette::dark_() : Palette::light();

    n.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(n.window), kProgram);
    gtk_window_set_resizable(GTK_WINDOW(n.window), FALSE);
    gtk_window_set_position(GTK_WINDOW(n.window), GTK_WIN_POS_CENTER);
    gtk_window_set_urgency_hint(GTK_WINDOW(n.window), TRUE);
    const int height = kPad + message_height(n) + 18 + kButtonH + kPad;
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, kTextWidth + 2 * kPad, height);
    gtk_widget_add_events(area, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
    gtk_container_add(GTK_CONTAINER(n.window), area);
    g_signal_connect(area, "draw", G_CALLBACK(on_notice_draw), &n);
    g_signal_connect(area, "motion-notify-event", G_CALLBACK(on_notice_motion), &n);
    g_signal_connect(area, "button-release-event", G_CALLBACK(on_notice_release), &n);
    g_signal_connect(n.window, "key-press-event", G_CALLBACK(on_notice_key), &n);
    g_signal_connect(n.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(n.window);
    gtk_main();
    return 0;
}
