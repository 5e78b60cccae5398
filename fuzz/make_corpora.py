#!/usr/bin/env python3
"""Makes the fuzz targets' seed corpora, one folder per target, below the folder given.

The seeds are made the way the tests make their fixtures: archives by Python's zipfile, an
APK by aapt, tar archives by tar listed by CMake, and the Breeze colour schemes as installed.
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

out = sys.argv[1]


def seed(target, name, data):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def png(edge):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    rows = b''.join(b'\0' + bytes((x ^ y) & 255 for x in range(edge * 3)) for y in range(edge))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', edge, edge, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


def zip_bytes(members, method=zipfile.ZIP_DEFLATED, comment=b'', zip64=False):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', method) as z:
        for name, data in members:
            if zip64:
                with z.open(name, 'w', force_zip64=True) as f:
                    f.write(data)
            else:
                z.writestr(name, data)
        z.comment = comment
    return buffer.getvalue()


work = tempfile.mkdtemp(prefix='skarnbolt-seeds-')
try:
    # An APK made by aapt: launcher icons in four densities and an adaptive icon.
    res = os.path.join(work, 'res')
    for density, edge in [('mdpi', 48), ('hdpi', 72), ('xhdpi', 96), ('xxxhdpi', 192)]:
        os.makedirs(os.path.join(res, 'mipmap-' + density))
        with open(os.path.join(res, 'mipmap-' + density, 'ic_launcher.png'), 'wb') as f:
            f.write(png(edge))
    os.makedirs(os.path.join(res, 'mipmap-anydpi-v26'))
    with open(os.path.join(res, 'mipmap-anydpi-v26', 'ic_launcher.xml'), 'w') as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n<adaptive-icon xmlns:android='
                '"http://schemas.android.com/apk/res/android"><background android:drawable='
                '"@mipmap/ic_launcher"/></adaptive-icon>\n')
    manifest = os.path.join(work, 'AndroidManifest.xml')
    with open(manifest, 'w') as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n<manifest xmlns:android="http://schemas.'
                'android.com/apk/res/android" package="com.example.game">\n<uses-sdk android:'
                'minSdkVersion="21" android:targetSdkVersion="26"/>\n<application android:label='
                '"Game" android:icon="@mipmap/ic_launcher"><activity android:name=".Main"/>'
                '</application>\n</manifest>\n')
    apk = os.path.join(work, 'game.apk')
    subprocess.run(['aapt', 'package', '-f', '-M', manifest, '-S', res, '-I',
                    '/usr/share/android-framework-res/framework-res.apk', '-F', apk],
                   check=True, stdout=subprocess.DEVNULL)
    with zipfile.ZipFile(apk, 'a') as z:
        z.writestr('lib/armeabi-v7a/libgame.so', b'\x7fELF' + bytes(200))
    with open(apk, 'rb') as f:
        seed('zip', 'aapt.apk', f.read())
    with zipfile.ZipFile(apk) as z:
        parts = [z.read('AndroidManifest.xml'), z.read('resources.arsc')]
        parts += [n.encode() + b'\0' + z.read(n) for n in z.namelist() if n.startswith('res/')]
    seed('icons', 'aapt', b'--member--'.join(parts))

    # ZIP archives of the forms the reader knows.
    plain = [('folder/', b''), ('folder/file.txt', b'hello ' * 50), ('top.bin', bytes(range(256)))]
    seed('zip', 'deflated.zip', zip_bytes(plain))
    seed('zip', 'stored.zip', zip_bytes(plain, zipfile.ZIP_STORED))
    seed('zip', 'zip64.zip', zip_bytes(plain[1:], zip64=True))
    seed('zip', 'comment.zip', zip_bytes(plain, comment=b'PK\x05\x06 in a comment'))
    seed('zip', 'prefixed.zip', b'#!/bin/sh\nexit 0\n' * 20 + zip_bytes(plain))
    seed('zip', 'empty.zip', zip_bytes([]))
    seed('unpack', 'tree.zip', zip_bytes(plain + [('a/b/../c.txt', b'c'), ('a\\d.txt', b'd')]))
    seed('unpack', 'stored.zip', zip_bytes(plain, zipfile.ZIP_STORED))
    seed('unpack', 'unsafe.zip', zip_bytes([('ok.txt', b'ok'), ('../up.txt', b'up')]))

    # Tar listings by CMake: files, folders, links within and one leading out.
    tree = os.path.join(work, 'tree')
    os.makedirs(os.path.join(tree, 'opt/devkitpro/bin'))
    with open(os.path.join(tree, 'opt/devkitpro/bin/tool'), 'w') as f:
        f.write('tool')
    os.symlink('tool', os.path.join(tree, 'opt/devkitpro/bin/tool-link'))
    os.symlink('../bin', os.path.join(tree, 'opt/devkitpro/up'))
    os.link(os.path.join(tree, 'opt/devkitpro/bin/tool'), os.path.join(tree, 'opt/devkitpro/hard'))
    os.symlink('/etc', os.path.join(tree, 'out'))
    for name, members in [('package', ['opt']), ('escape', ['opt', 'out'])]:
        archive = os.path.join(work, name + '.tar')
        subprocess.run(['tar', 'cf', archive, '-C', tree] + members, check=True)
        names = subprocess.run(['cmake', '-E', 'tar', 'tf', archive], check=True,
                               capture_output=True).stdout
        verbose = subprocess.run(['cmake', '-E', 'tar', 'tvf', archive], check=True,
                                 capture_output=True).stdout
        seed('tar_listing', name, names + b'\0' + verbose)
finally:
    shutil.rmtree(work)

# Member names: plain, folded, and each kind that the rule refuses.
for i, name in enumerate([b'opt/devkitpro/bin/tool', b'./a//b/../c', b'a\\b', b'../up', b'/root',
                          b'C:x', b'con', b'dir/nul.txt', b'com\xc2\xb9', b'a. ', b'trailing.',
                          b'a.txt::$DATA', b'\xff.txt', b'console.txt']):
    seed('member_name', 'name%02d' % i, name)

seed('desc', 'desc', '%NAME%\nswitch-sdl2\n\n%VERSION%\n2.28.5-1\n\n%DEPENDS%\nlibnx\nswitch-mesa\n'
     '\n%FILENAME%\n  switch-sdl2-2.28.5-1-any.pkg.tar.zst  \n\n%CSIZE%\n1234567\n\n'
     '%SHA256SUM%\n' + '0123456789abcdef' * 4 + '\n\n%FILENAME%\nshadowed.pkg.tar.zst\n')

for scheme in ['BreezeLight', 'BreezeDark']:
    with open('/usr/share/color-schemes/%s.colors' % scheme, 'rb') as f:
        seed('kconfig', scheme, f.read())
seed('kconfig', 'kdeglobals', '[General]\nfont=Noto Sans,10,-1,5,50,0,0,0,0,0\n\n'
     '[ColorEffects:Inactive]\nEnable=true\nIntensityEffect=1\nIntensityAmount=0.5\n'
     'ColorEffect=2\nColorAmount=0.025\nColor=112,111,110\nContrastEffect=2\n'
     'ContrastAmount=0.1\nChangeSelectionColor=true\n\n[Colors:Window]\n'
     'BackgroundNormal=#eff0f1\nForegroundNormal=35,38,39,255\n')

for i, line in enumerate(['[1/120] Building CXX object runtime/CMakeFiles/runtime.dir/a.cpp.o',
                          '[2/120] Recompiling libgame.so (12 MiB)',
                          '[3/120] Extracting assets (340 files)',
                          '[4/120] Building CXX object generated/funcs_007.cpp.o',
                          '[120/120] Linking CXX executable skarnbolt-pinball',
                          'ninja: no work to do.']):
    seed('ninja_status', 'line%d' % i, line)

for i, args in enumerate([['--prepare', '--data=/srv/games', '--apk=a.apk', '--apk=b.apk',
                           '--starwars2-assets=assets.zip'],
                          ['--data=/srv/games', '--play=pinball', '--fullscreen', '-w', '800'],
                          ['--play=pinball', '--data', '/srv/games']]):
    seed('launcher_args', 'args%d' % i, '\0'.join(['skarnbolt-builder'] + args))
for i, args in enumerate([['--build', 'game.apk'],
                          ['--build', 'game.apk', '--switch', '--only', 'out.nro', '--mods', 'a,b'],
                          ['--build', 'game.apk', '--android', '--mods', 'none',
                           '--starwars2-assets=assets'],
                          ['--build', '--only']]):
    seed('build_args', 'args%d' % i, '\0'.join(['skarnbolt-builder'] + args))
