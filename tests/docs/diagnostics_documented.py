# Each tool's manual page lists every line the sources can make it write, and
# no other, under DIAGNOSTICS, with the status of a line that ends the process,
# which EXIT STATUS lists too. A line is a chain of operands joined by `+` whose
# last is a literal ending in a newline; a piece written without one starts the
# next line. Other operands are filled in at run time and may read as anything.
import pathlib, re, sys, unittest

ROOT = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else '.')
LIT = r'"(?:\\.|[^"\\])*"'
OPERAND = rf'(?:{LIT}\s*)+|(?:[\w:.*\[\]>-]+(?:\([^()"]*\))?)+'
CHAIN = re.compile(rf'(?:{OPERAND})(?:\s*\+\s*(?:{OPERAND}))*')


def value(operand):
    if operand.startswith('"'):
        text = ''.join(literal[1:-1] for literal in re.findall(LIT, operand))
        return re.sub(r'\\(.)', lambda m: {'n': '\n'}.get(m[1], m[1]), text)


def source_lines(tool):
    """(pattern, status) of each line the tool writes; common/ writes for both."""
    for path in sorted(ROOT.glob('*/**/*.[ch]*')):
        top = path.relative_to(ROOT).parts[0]
        if top not in ('common', 'microphone', 'system_audio', 'platform') or 'tsan' in path.name:
            continue  # the sanitizer's settings are no tool's lines
        source = re.sub(r'//[^\n]*', '', path.read_text())
        source = re.sub(rf'std::string\(({LIT})\)|\([^()]*\?[^()]*\)', lambda m: m[1] or 'x', source)
        pending = ''
        for chain in CHAIN.finditer(source):
            parts = [value(o.strip(" \n+")) for o in re.findall(rf'\s*(?:{OPERAND})\s*(?:\+|$)', chain[0])]
            pattern = pending + ''.join(re.escape(p) if p else '.*' for p in parts)
            if parts[-1] and parts[-1].endswith('\n'):
                rest = source[chain.end():]
                status = re.match(r'\s*,\s*(\d)\s*\)', rest) or re.match(
                    r'[^}]*?exitProcess\((\d)\)', rest.split('writeDiagnostic')[0])
                velloc = top == 'microphone' or (top != 'system_audio' and pattern.startswith(r'\[tamsel'))
                if top == 'common' or velloc == (tool == 'velloc'):
                    yield pattern[:-2], status and status[1]  # less the escaped newline
                pending = ''
            elif any(parts) and source[:chain.start()].endswith('writeDiagnostic('):
                pending = pattern


def page(tool):
    """DIAGNOSTICS as {line: what follows it}, and the statuses EXIT STATUS lists."""
    entries, statuses, section, tag = {}, set(), '', None
    for roff in (ROOT / 'man' / f'{tool}.1').read_text().splitlines():
        text = re.sub(r'\\f[BIR]|\\&', '', roff).replace('\\(em', '—').replace('\\(->', '→')
        text = text.replace('\\-', '-').replace('\\e', '\\')
        if roff.startswith('.SH '):
            section, tag = roff[4:], None
        elif roff == '.TP':
            tag = ''
        elif tag == '' and section == 'DIAGNOSTICS':
            tag, entries[text] = text, ''
        elif tag == '' and section == 'EXIT STATUS':
            tag = statuses.add(text.split()[-1]) or text
        elif tag and section == 'DIAGNOSTICS':
            entries[tag] += ' ' + text
    return entries, statuses


class ManualPages(unittest.TestCase):
    def test_pages(self):
        for tool in ('velloc', 'corvane'):
            lines, (entries, statuses) = list(source_lines(tool)), page(tool)
            self.assertGreater(len(lines), 6, 'the scan no longer sees the sources\' lines')
            for pattern, status in lines:
                listed = [e for e in entries if re.fullmatch(pattern, e)]
                self.assertTrue(listed, f'man/{tool}.1 does not list a line matching {pattern}')
                if status:
                    self.assertRegex(entries[listed[0]], rf'status {status}\b', listed[0])
            self.assertEqual(statuses, {'0'} | {s for _, s in lines if s}, f'EXIT STATUS, {tool}')
            for entry in entries:
                self.assertTrue(any(re.fullmatch(p, entry) for p, _ in lines), f'{tool} no longer writes {entry}')


if __name__ == '__main__':
    unittest.main()
