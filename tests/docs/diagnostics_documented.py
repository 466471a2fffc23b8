# Each tool's manual page lists every line of the tool's table of lines, and no
# other, under DIAGNOSTICS, with the status of a line that ends the process,
# which EXIT STATUS lists too. The sources write lines only from the tables.
import pathlib, re, sys, unittest

ROOT = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else '.')
TABLES = {'velloc': 'microphone/velloc_lines.h', 'corvane': 'system_audio/corvane_lines.h'}
LIT = r'"(?:\\.|[^"\\])*"'
ENTRY = re.compile(rf'(Line|EndingLine) k\w+\{{((?:\s*{LIT})+)(?:,\s*(\d+))?\}};')


def table(tool):
    """(pattern, status) of each line in the tool's table; {} stands for any value."""
    for kind, literals, status in ENTRY.findall((ROOT / TABLES[tool]).read_text()):
        text = ''.join(lit[1:-1] for lit in re.findall(LIT, literals)).replace('\\"', '"')
        assert text.endswith('\\n'), text
        yield '.*'.join(map(re.escape, text[:-2].split('{}'))), status or None


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
    def test_pages_match_the_tables(self):
        for tool in TABLES:
            lines, (entries, statuses) = list(table(tool)), page(tool)
            self.assertGreater(len(lines), 10, f'{TABLES[tool]} no longer reads as a table')
            for pattern, status in lines:
                listed = [e for e in entries if re.fullmatch(pattern, e)]
                self.assertTrue(listed, f'man/{tool}.1 does not list a line matching {pattern}')
                if status:
                    self.assertRegex(entries[listed[0]], rf'status {status}\b', listed[0])
            self.assertEqual(statuses, {'0'} | {s for _, s in lines if s}, f'EXIT STATUS, {tool}')
            for entry in entries:
                self.assertTrue(any(re.fullmatch(p, entry) for p, _ in lines), f'{tool} no longer writes {entry}')

    def test_lines_come_from_the_tables(self):
        # A literal that ends a line anywhere else would be a line the pages are not checked against.
        for path in sorted(ROOT.glob('*/**/*.[ch]*')):
            top = path.relative_to(ROOT).parts[0]
            if top in ('common', 'microphone', 'system_audio', 'platform') and not path.name.endswith(
                    ('_lines.h', 'tsan_suppressions.cc')):  # the sanitizer's settings are no line
                source = re.sub(r'//[^\n]*', '', path.read_text())
                strays = [lit for lit in re.findall(LIT, source) if lit.endswith('\\n"') and lit != '"\\\\n"']
                self.assertEqual(strays, [], path)


if __name__ == '__main__':
    unittest.main()
