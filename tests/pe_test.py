#!/usr/bin/env python3
"""Reads every shipped binary as Windows does: PE flags (ASLR, high-entropy
ASLR, no-execute, Terminal Server aware for programs), imports (system DLLs
only, none by ordinal, nothing of Wine's), the version resource and the
manifest. Usage: pe_test.py BUILD_DIR"""
import re
import subprocess
import sys

build = sys.argv[1]
SYSTEM = {'advapi32.dll', 'bcrypt.dll', 'gdi32.dll', 'kernel32.dll', 'msvcrt.dll', 'netapi32.dll', 'ole32.dll',
          'oleaut32.dll', 'shell32.dll', 'user32.dll', 'userenv.dll', 'version.dll', 'wininet.dll', 'winspool.drv',
          'ws2_32.dll', 'wtsapi32.dll', 'comctl32.dll', 'msimg32.dll', 'iphlpapi.dll', 'msi.dll', 'crypt32.dll',
          'psapi.dll'}
BINARIES = [  # file, objdump, program?, manifest texts
    ('win/bin/RPQ.dll', 'x86_64', False, []),
    ('win/bin/rpqmsica.dll', 'x86_64', False, []),
    ('win/bin/rpqadmin.exe', 'x86_64', True, ['level="asInvoker"', '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']),
    ('win/bin/rpqprint.exe', 'x86_64', True, ['level="asInvoker"', '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']),
    ('win/bin/rpqcheck.exe', 'x86_64', True, ['level="asInvoker"', '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']),
    ('win/bin/Trayherald.exe', 'x86_64', True, ['Microsoft.Windows.Common-Controls', 'version="6.0.0.0"',
                                               'PerMonitorV2', 'true/pm', 'level="asInvoker"',
                                               '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']),
    ('win32/bin/Trayherald.exe', 'i686', True, ['Microsoft.Windows.Common-Controls', 'PerMonitorV2',
                                               'level="asInvoker"']),
]
passed = failed = 0
versions = set()


def check(name, ok, detail=''):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print('FAILED: %s %s' % (name, detail))


for path, arch, program, manifest in BINARIES:
    full = '%s/%s' % (build, path)
    dump = subprocess.run(['%s-w64-mingw32-objdump' % arch, '-p', full], capture_output=True, text=True).stdout
    flags = int(re.search(r'DllCharacteristics\s+([0-9a-fA-F]+)', dump).group(1), 16)
    check(path + ': ASLR', flags & 0x40)
    check(path + ': no-execute', flags & 0x100)
    if arch == 'x86_64':
        check(path + ': high-entropy ASLR', flags & 0x20)
    if program:
        check(path + ': Terminal Server aware', flags & 0x8000)
    dlls = [d.lower() for d in re.findall(r'DLL Name: (\S+)', dump)]
    check(path + ': system DLLs only', set(dlls) <= SYSTEM, str(sorted(set(dlls) - SYSTEM)))
    ordinals = re.findall(r'^\s+[0-9a-f]+\s+\d+\s*$', dump, re.M)
    check(path + ': nothing imported by ordinal', not ordinals, str(ordinals[:3]))
    check(path + ': nothing of Wine', 'wine_' not in dump.lower())
    data = open(full, 'rb').read()
    for text in ['VS_VERSION_INFO', 'CompanyName', 'Halvane', 'FileDescription', 'ProductName', 'FileVersion']:
        check(path + ': version resource holds ' + text, text.encode('utf-16-le') in data)
    version = subprocess.run([sys.executable, sys.path[0] + '/../scripts/peversion.py', full], capture_output=True,
                             text=True).stdout.split('\t')[0]
    versions.add(version)
    if program:
        resource = subprocess.run(['wrestool', '-x', '--raw', '--type=24', full], capture_output=True).stdout.decode('utf-8', 'replace')
        for text in manifest:
            check(path + ': manifest says ' + text, text in resource)
check('one version for every binary', len(versions) == 1 and '' not in versions, str(versions))
print('pe: %d passed, %d failed' % (passed, failed))
sys.exit(1 if failed else 0)
