# Each tool's manual page lists every line the sources can make it write, and
# no other, under DIAGNOSTICS, with the status of a line that ends the process
# (which EXIT STATUS lists too). A line is a chain of operands joined by `+`
# whose last is a literal ending in a newline; a piece written without one
# starts the next line. Operands that are not literals are filled in at run
# time and may read as anything in the page. Lines from common/ are both tools'.
import pathlib, re, sys, unittest

ROOT = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else '.')
TOKEN = re.compile(r'//[^\n]*|/\*.*?\*/|#[^\n]*|"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|\w+|::|->|\S', re.S)
ESCAPES = {'n': '\n', 't': '\t'}


def tokens(source):
    out = []
    for t in TOKEN.findall(source):
        if t.startswith(('//', '/*', '#')):
            continue
        if t.startswith('"'):
            value = re.sub(r'\\(.)', lambda m: ESCAPES.get(m[1], m[1]), t[1:-1])
            if out and isinstance(out[-1], list):  # adjacent literals are one
                out[-1][0] += value
                continue
            t = [value]
        out.append(t)
    return out


def status_after(toks, i):
    """The status an exit right after the line at toks[i:] gives, if any."""
    if toks[i:i + 1] == [','] and str(toks[i + 1]).isdigit() and toks[i + 2] == ')':
        return toks[i + 1]
    depth = 0
    for j in range(i, len(toks)):
        depth += (toks[j] == '{') - (toks[j] == '}')
        if depth < 0 or toks[j] in ('writeDiagnostic', 'return'):
            return None
        if toks[j:j + 2] == ['exitProcess', '('] and str(toks[j + 2]).isdigit():
            return toks[j + 2]


def source_lines(path):
    """(pattern, status) of each line the file writes."""
    toks, lines, pending = tokens(path.read_text()), [], ''
    for start in range(1, len(toks)):
        if toks[start - 1] not in ('(', ',', '=', 'return'):
            continue
        pattern, i, ends = pending, start, False
        while i < len(toks):
            first, depth = i, 0
            while i < len(toks) and not (depth == 0 and toks[i] in ('+', ')', ',', ';', ']', '}')):
                depth += (toks[i] in ('(', '[', '{')) - (toks[i] in (')', ']', '}'))
                i += 1
            literals = [t[0] for t in toks[first:i] if isinstance(t, list)]
            plain = all(isinstance(t, list) or t in ('std', '::', 'string', '(', ')') for t in toks[first:i])
            pattern += re.escape(literals[0]) if plain and len(literals) == 1 else '.*'
            ends = plain and len(literals) == 1 and literals[0].endswith('\n')
            if toks[i:i + 1] != ['+']:
                break
            i += 1
        if ends:
            lines.append((pattern[:-2], status_after(toks, i)))  # less the escaped newline
            pending = ''
        elif toks[start - 2] == 'writeDiagnostic' and pattern.replace('.*', ''):
            pending = pattern
    return lines


def tool_lines(tool):
    found = []
    for path in sorted(ROOT.glob('*/**/*.[ch]*')):
        top = path.relative_to(ROOT).parts[0]
        if top not in ('common', 'microphone', 'system_audio', 'platform') or path.name == 'tsan_suppressions.cc':
            continue
        for pattern, status in source_lines(path):
            velloc = top == 'microphone' or (top != 'system_audio' and pattern.startswith(r'\[tamsel\]'))
            if top == 'common' or velloc == (tool == 'velloc'):
                found.append((pattern, status))
    return found


def roff_text(line):
    line = re.sub(r'\\f[BIRP]|\\&', '', line)
    for roff, text in (('\\(em', '—'), ('\\(->', '→'), ('\\-', '-'), ('\\e', '\\')):
        line = line.replace(roff, text)
    return line


def page(tool):
    """DIAGNOSTICS as {line: what follows it}, and the statuses EXIT STATUS lists."""
    entries, statuses, section, tag = {}, set(), '', None
    for roff in (ROOT / 'man' / f'{tool}.1').read_text().splitlines():
        if roff.startswith('.SH '):
            section, tag = roff[4:], None
        elif roff == '.TP':
            tag = ''
        elif tag == '':
            tag = roff_text(roff)
            if section == 'DIAGNOSTICS':
                entries[tag] = ''
            if section == 'EXIT STATUS':
                statuses.add(tag.split()[-1])
        elif tag and section == 'DIAGNOSTICS':
            entries[tag] += ' ' + roff_text(roff)
    return entries, statuses


class ManualPages(unittest.TestCase):
    def check(self, tool):
        lines, (entries, statuses) = tool_lines(tool), page(tool)
        self.assertGreater(len(lines), 6, 'the scan no longer sees the sources\' lines')
        for pattern, status in lines:
            listed = [e for e in entries if re.fullmatch(pattern, e)]
            self.assertTrue(listed, f'man/{tool}.1 does not list a line matching {pattern}')
            if status:
                self.assertRegex(entries[listed[0]], rf'status {status}\b', listed[0])
        self.assertEqual(statuses, {'0'} | {s for _, s in lines if s}, f'EXIT STATUS of {tool}')
        for entry in entries:
            self.assertTrue(any(re.fullmatch(p, entry) for p, _ in lines), f'{tool} no longer writes {entry}')

    def test_velloc(self):
        self.check('velloc')

    def test_corvane(self):
        self.check('corvane')


if __name__ == '__main__':
    unittest.main()
