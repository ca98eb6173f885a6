#!/usr/bin/env python3
"""Generate the translation tables (i18n_data.cpp) from the gettext sources in po/.

Every po/<code>.po holds one language: the msgid is the catalogue key, the msgstr its text.
po/en.po is the reference: its keys are the catalogue, and its texts decide which printf
conversions each text must carry. A translation that drops, adds or reorders a conversion
would make trf() read the wrong argument type, so such a source is refused here rather than
crashing the program later.

Usage: gen_i18n.py --out <file.cpp> --po-dir <dir>
Exit status 0 on success; 1 with one line per problem on stderr when a source is refused.
"""

import argparse
import os
import re
import sys

# The 44 interface languages in table order: (code, native name, written right to left).
LANGUAGES = [
    ("ar", "العربية", True),
    ("bg", "Български", False),
    ("bn", "বাংলা", False),
    ("ca", "Català", False),
    ("cs", "Čeština", False),
    ("da", "Dansk", False),
    ("de", "Deutsch", False),
    ("el", "Ελληνικά", False),
    ("en", "English", False),
    ("es", "Español", False),
    ("fa", "فارسی", True),
    ("fi", "Suomi", False),
    ("fr", "Français", False),
    ("he", "עברית", True),
    ("hi", "हिन्दी", False),
    ("hr", "Hrvatski", False),
    ("hu", "Magyar", False),
    ("id", "Bahasa Indonesia", False),
    ("it", "Italiano", False),
    ("ja", "日本語", False),
    ("ko", "한국어", False),
    ("lt", "Lietuvių", False),
    ("lv", "Latviešu", False),
    ("ms", "Bahasa Melayu", False),
    ("nb", "Norsk bokmål", False),
    ("ne", "नेपाली", False),
    ("nl", "Nederlands", False),
    ("pl", "Polski", False),
    ("pt", "Português", False),
    ("ro", "Română", False),
    ("ru", "Русский", False),
    ("sk", "Slovenčina", False),
    ("sl", "Slovenščina", False),
    ("sr", "Српски", False),
    ("sv", "Svenska", False),
    ("sw", "Kiswahili", False),
    ("th", "ไทย", False),
    ("tl", "Tagalog", False),
    ("tr", "Türkçe", False),
    ("uk", "Українська", False),
    ("ur", "اردو", True),
    ("vi", "Tiếng Việt", False),
    ("zh", "中文", False),
    ("zh_TW", "繁體中文", False),
]

REFERENCE = "en"

# One printf conversion as glibc reads it: flags, width, precision, length modifier, conversion.
CONVERSION = re.compile(
    r"%(?P<flags>[-+ #0']*)(?P<width>\*|[0-9]+)?(?P<precision>\.(?:\*|[0-9]*))?"
    r"(?P<length>hh|h|ll|l|L|q|j|z|Z|t)?(?P<conv>[diouxXeEfFgGaAcspnm%])"
)


class SourceError(Exception):
    pass


def conversions(text):
    """The argument-relevant printf conversions of `text`, in order, e.g. ['%d', '%*s', '%%'].

    Flags, a fixed width and a fixed precision do not change what argument is read, so they
    are left out; a '*' width or precision reads an int and is kept. Raises SourceError on a
    '%' that does not start a valid conversion, on positional arguments and on %n.
    """
    result = []
    pos = 0
    while True:
        pos = text.find("%", pos)
        if pos < 0:
            return result
        if re.match(r"%[0-9]+\$", text[pos:]):
            raise SourceError("positional printf argument at '%s'" % text[pos : pos + 6])
        m = CONVERSION.match(text, pos)
        if not m:
            raise SourceError("invalid printf conversion at '%s'" % text[pos : pos + 6])
        conv = m.group("conv")
        if conv == "n":
            raise SourceError("%n conversion is not allowed")
        if conv == "%":
            if m.group(0) != "%%":
                raise SourceError("malformed '%%' at '%s'" % m.group(0))
            result.append("%%")
        else:
            token = "%"
            if m.group("width") == "*":
                token += "*"
            if m.group("precision") and m.group("precision").endswith("*"):
                token += ".*"
            token += (m.group("length") or "") + conv
            result.append(token)
        pos = m.end()


ESCAPES = {'"': '"', "\\": "\\", "n": "\n", "t": "\t"}


def parse_quoted(line, path, lineno):
    """The value of one quoted po string ("..." with \\" \\\\ \\n \\t escapes)."""
    line = line.strip()
    if len(line) < 2 or not line.startswith('"') or not line.endswith('"'):
        raise SourceError("%s:%d: expected a quoted string" % (path, lineno))
    body = line[1:-1]
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c == "\\":
            if i + 1 >= len(body):
                raise SourceError("%s:%d: string ends in a backslash" % (path, lineno))
            e = body[i + 1]
            if e not in ESCAPES:
                raise SourceError("%s:%d: unknown escape '\\%s'" % (path, lineno, e))
            out.append(ESCAPES[e])
            i += 2
        elif c == '"':
            raise SourceError("%s:%d: unescaped double quote inside a string" % (path, lineno))
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_po(path):
    """Entries of a po file as a list of (msgid, msgstr, line number).

    Accepts the gettext subset we use: comments, msgid, msgstr and "" continuation lines,
    plus the header entry (empty msgid), which is skipped. Refuses msgctxt, plurals and
    entries marked fuzzy, which gettext itself would not use.
    """
    try:
        with open(path, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-8-sig")  # tolerate a byte-order mark from editors
    except UnicodeDecodeError as e:
        raise SourceError("%s: not valid UTF-8 (%s)" % (path, e))
    except OSError as e:
        raise SourceError("%s: cannot read (%s)" % (path, e.strerror))

    entries = []
    msgid = msgstr = None
    field = None
    entry_line = 0
    fuzzy = False

    def finish():
        nonlocal msgid, msgstr, field, fuzzy
        if msgid is not None:
            if msgstr is None:
                raise SourceError("%s:%d: entry '%s' has no msgstr" % (path, entry_line, msgid))
            if fuzzy and msgid != "":
                raise SourceError(
                    "%s:%d: key '%s' is marked fuzzy; review the text and remove the flag"
                    % (path, entry_line, msgid)
                )
            if msgid != "":
                entries.append((msgid, msgstr, entry_line))
        elif msgstr is not None:
            raise SourceError("%s:%d: msgstr without msgid" % (path, entry_line))
        msgid = msgstr = field = None
        fuzzy = False

    for lineno, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if stripped == "":
            finish()
            continue
        if stripped.startswith("#"):
            if msgstr is not None:
                finish()
            if stripped.startswith("#,") and "fuzzy" in (f.strip() for f in stripped[2:].split(",")):
                fuzzy = True
            continue
        keyword, _, rest = stripped.partition(" ")
        if keyword == "msgid":
            if msgstr is not None:
                finish()
            if msgid is not None:
                raise SourceError("%s:%d: msgid without msgstr before it" % (path, lineno))
            msgid = parse_quoted(rest, path, lineno)
            field = "msgid"
            entry_line = lineno
        elif keyword == "msgstr":
            if msgid is None or msgstr is not None:
                raise SourceError("%s:%d: msgstr without a preceding msgid" % (path, lineno))
            msgstr = parse_quoted(rest, path, lineno)
            field = "msgstr"
        elif keyword in ("msgctxt", "msgid_plural") or keyword.startswith("msgstr["):
            raise SourceError("%s:%d: %s is not supported in these sources" % (path, lineno, keyword))
        elif stripped.startswith('"'):
            if field == "msgid":
                msgid += parse_quoted(stripped, path, lineno)
            elif field == "msgstr":
                msgstr += parse_quoted(stripped, path, lineno)
            else:
                raise SourceError("%s:%d: continuation line outside an entry" % (path, lineno))
        else:
            raise SourceError("%s:%d: cannot read this line: %s" % (path, lineno, stripped[:40]))
    finish()
    return entries


def check_language(path, entries, reference):
    """Problems of one language's entries measured against the reference texts (may be None)."""
    problems = []
    seen = {}
    for key, value, line in entries:
        where = "%s:%d: key '%s'" % (path, line, key)
        if key in seen:
            problems.append("%s: duplicate key (first at line %d)" % (where, seen[key]))
            continue
        seen[key] = line
        if value == "":
            problems.append("%s: empty text" % where)
            continue
        try:
            convs = conversions(value)
        except SourceError as e:
            problems.append("%s: %s" % (where, e))
            continue
        if reference is None:
            continue
        if key not in reference:
            problems.append("%s: unknown key (not in %s.po)" % (where, REFERENCE))
            continue
        want = reference[key][1]
        if convs != want:
            problems.append(
                "%s: printf conversions [%s] differ from the English text's [%s]"
                % (where, " ".join(convs) or "none", " ".join(want) or "none")
            )
    if reference is not None:
        for key in sorted(set(reference) - set(seen), key=lambda k: k.encode("utf-8")):
            problems.append("%s: missing key '%s'" % (path, key))
    return problems


def c_string(text):
    """A C++ string literal holding `text` as UTF-8."""
    out = ['"']
    for ch in text:
        if ch in ('"', "\\"):
            out.append("\\" + ch)
        elif ch == "?":
            out.append("\\?")  # never part of a trigraph, whatever the compiler mode
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append("\\%03o" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def generate(keys, languages):
    lines = [
        "// Generated by tools/gen_i18n.py from po/*.po; edit the po files, not this file.",
        '#include "base/i18n_data.h"',
        "",
        "#include <iterator>",
        "",
        "namespace i18n_data {",
        "",
        "const char* const KEYS[] = {",
    ]
    lines += ["    %s," % c_string(k) for k in keys]
    lines += [
        "};",
        'static_assert(std::size(KEYS) == KEY_COUNT, "i18n_data.h and po/en.po disagree on the key count");',
        "",
        "namespace {",
    ]
    for code, _, _, values in languages:
        lines.append("")
        lines.append("const char* const kValues_%s[] = {" % code)
        lines += ["    %s," % c_string(values[k]) for k in keys]
        lines.append("};")
        lines.append("static_assert(std::size(kValues_%s) == KEY_COUNT);" % code)
    lines += ["", "} // namespace", "", "const LangEntry LANGS[] = {"]
    for code, native, rtl, _ in languages:
        lines.append(
            "    {%s, %s, %s, kValues_%s},"
            % (c_string(code), c_string(native), "true" if rtl else "false", code)
        )
    lines += [
        "};",
        "const int LANG_COUNT = static_cast<int>(std::size(LANGS));",
        "",
        "} // namespace i18n_data",
        "",
    ]
    return "\n".join(lines)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", required=True, help="path of the generated C++ file")
    ap.add_argument("--po-dir", required=True, help="folder holding <code>.po files")
    args = ap.parse_args(argv)

    known = {code: (native, rtl) for code, native, rtl in LANGUAGES}
    try:
        names = sorted(os.listdir(args.po_dir))
    except OSError as e:
        print("gen_i18n: cannot read %s: %s" % (args.po_dir, e.strerror), file=sys.stderr)
        return 1

    problems = []
    sources = {}
    for name in names:
        if not name.endswith(".po"):
            continue
        code = name[:-3]
        path = os.path.join(args.po_dir, name)
        if code not in known:
            problems.append("%s: unknown language code '%s'" % (path, code))
            continue
        sources[code] = path

    if REFERENCE not in sources:
        problems.append("%s: the reference %s.po is missing" % (args.po_dir, REFERENCE))
        for p in problems:
            print("gen_i18n: " + p, file=sys.stderr)
        return 1

    parsed = {}
    for code, path in sources.items():
        try:
            parsed[code] = parse_po(path)
        except SourceError as e:
            problems.append(str(e))

    reference = None
    if REFERENCE in parsed:
        ref_problems = check_language(sources[REFERENCE], parsed[REFERENCE], None)
        problems += ref_problems
        if not ref_problems:
            reference = {k: (v, conversions(v)) for k, v, _ in parsed[REFERENCE]}

    if reference is not None:
        for code in sorted(parsed):
            if code != REFERENCE:
                problems += check_language(sources[code], parsed[code], reference)

    if problems:
        for p in problems:
            print("gen_i18n: " + p, file=sys.stderr)
        print("gen_i18n: %d problem(s); %s not written" % (len(problems), args.out), file=sys.stderr)
        return 1

    keys = sorted(reference, key=lambda k: k.encode("utf-8"))
    languages = []
    for code, native, rtl in LANGUAGES:
        if code in parsed:
            languages.append((code, native, rtl, {k: v for k, v, _ in parsed[code]}))

    content = generate(keys, languages)
    tmp = args.out + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(content)
    os.replace(tmp, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
