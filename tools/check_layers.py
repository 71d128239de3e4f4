#!/usr/bin/python3
"""Checks that the project's layers point one way.

  python3 check_layers.py LINKS ROOT   check the link graph in LINKS and the includes under ROOT
  python3 check_layers.py --self-test  show that a cycle and an upward include are caught

LINKS is the file the configure step writes (cmake/zelko.cmake, zelko_write_link_graph): one line
per library of the project, "target: linked targets...". A cycle among them fails, mutual links
included. Under ROOT, a quoted include of another folder's header fails when that folder sits
above the including one in its stack, or in a part the including part must not see.
"""
import re
import sys
from pathlib import Path

# Each stack from the bottom up: a folder may include only from the folders listed before it.
STACKS = [
    ['driver/base', 'driver/filters', 'driver/effects', 'driver/core'],
    ['dsp/core', 'dsp/fft', 'dsp/filters', 'dsp/dispatch'],
]
# Parts that must not include from the listed parts at all.
FORBIDDEN = {
    'dsp': ['driver', 'panel', 'installer', 'host'],
    'panel': ['driver', 'dsp', 'installer', 'host'],
    'installer': ['driver', 'dsp', 'panel', 'host'],
    # The stand-ins stand below everything; host/, which boots the system, stands above it all.
    'platform': ['driver', 'dsp', 'panel', 'installer', 'host'],
    'driver': ['panel', 'installer', 'host'],
}
SOURCES = ('.h', '.hpp', '.cpp', '.inc')
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def find_cycle(edges):
    """A cycle in {node: [nodes]} as a list of nodes (first repeated last), or None."""
    state = {}
    path = []

    def visit(node):
        state[node] = 'open'
        path.append(node)
        for nxt in edges.get(node, []):
            if nxt not in edges:
                continue  # not one of ours
            if state.get(nxt) == 'open':
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        path.pop()
        state[node] = 'done'
        return None

    for node in sorted(edges):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def read_links(text):
    edges = {}
    for line in text.splitlines():
        if ':' not in line:
            continue
        name, _, rest = line.partition(':')
        edges[name.strip()] = [t for t in rest.split() if t != name.strip()]
    return edges


def folder_of(path):
    """The stack folder a repository path belongs to, or None."""
    for stack in STACKS:
        for folder in stack:
            if path == folder or path.startswith(folder + '/'):
                return stack, folder
    return None, None


def include_faults(files):
    """Faults among {repository path: text}."""
    faults = []
    for path, text in sorted(files.items()):
        part = path.split('/', 1)[0]
        stack, folder = folder_of(path)
        for target in INCLUDE.findall(text):
            target_part = target.split('/', 1)[0]
            if part in FORBIDDEN and target_part in FORBIDDEN[part]:
                faults.append(f'{path}: includes "{target}" ({part} must not see {target_part})')
                continue
            if not stack:
                continue
            target_stack, target_folder = folder_of(target)
            if target_stack is stack and stack.index(target_folder) > stack.index(folder):
                faults.append(f'{path}: includes "{target}" from {target_folder}, above {folder}')
    return faults


def product_files(root):
    files = {}
    for part in FORBIDDEN:
        base = root / part
        if not base.is_dir():
            continue
        for path in base.rglob('*'):
            if path.suffix in SOURCES and path.is_file():
                files[path.relative_to(root).as_posix()] = path.read_text(errors='replace')
    return files


def self_test():
    ok = True

    def expect(what, got, want):
        nonlocal ok
        if bool(got) != want:
            print(f'self-test: {what}: got {got!r}')
            ok = False

    expect('mutual link', find_cycle(read_links('a: b x\nb: a\n')), True)
    expect('longer cycle', find_cycle(read_links('a: b\nb: c\nc: a\n')), True)
    expect('one way', find_cycle(read_links('a: b c\nb: c\nc: ext\n')), False)
    expect('base includes filters',
           include_faults({'driver/base/x.cpp': '#include "driver/filters/y.h"\n'}), True)
    expect('filters include core', include_faults({'driver/filters/x.h': '#include "driver/core/y.h"\n'}), True)
    expect('core includes filters',
           include_faults({'driver/core/x.cpp': '#include "driver/filters/y.h"\n'}), False)
    expect('fft includes dispatch', include_faults({'dsp/fft/x.h': '#include "dsp/dispatch/d.h"\n'}), True)
    expect('dsp includes driver', include_faults({'dsp/core/x.h': '#include "driver/base/d.h"\n'}), True)
    expect('host boots the driver',
           include_faults({'host/m.cpp': '#include "driver/core/d.h"\n'}), False)
    expect('a stand-in sees the driver',
           include_faults({'platform/usb/x.cpp': '#include "driver/core/d.h"\n'}), True)
    return ok


def main(argv):
    if argv[1:] == ['--self-test']:
        return 0 if self_test() else 1
    if len(argv) != 3:
        print(__doc__)
        return 2
    faults = []
    cycle = find_cycle(read_links(Path(argv[1]).read_text()))
    if cycle:
        faults.append('library cycle: ' + ' -> '.join(cycle))
    faults += include_faults(product_files(Path(argv[2])))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
