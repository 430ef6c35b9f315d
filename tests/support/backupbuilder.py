#!/usr/bin/python3
# Writes an iTunes-style backup folder from a JSON description (the keys are
# listed in backupbuilder.h) using only the public format descriptions, the
# standard library and Debian's python3-cryptography; prints the keys it made.
# With --list it prints a folder's Manifest.db in plain form instead, opened
# with the password by the independent reader's own steps (exit status 3: the
# keybag does not open with it, 4: an encrypted backup without a keybag).
#   usage: backupbuilder.py FOLDER < SPEC.json
#          backupbuilder.py --list FOLDER [PASSWORD]
import base64, datetime, hashlib, json, os, pathlib, plistlib, random, sqlite3, struct, sys
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.keywrap import aes_key_wrap

SPEC = dict(mbdb=False, password='', encryptList=True, saltRows=False, iter=3, dpic=5, classes=[1, 2, 3, 4],
            manifestClass=4, udid='00008030-001A2B3C4D5E6F70', deviceName='iPhone', seed='', entries=[])
ENTRY = dict(domain='', path='', data='', kind=0, target='', cls=3, mtime=1600000000, inode=0, noKey=False,
             noDataFile=False, nsData=False, props=[], raw='', id='')
FILE, FOLDER, LINK = 0, 1, 2
ROW_IV = bytes.fromhex('3e91c4a70fd2586be13a9c74d0f5286b')
# Keys, salts and UUIDs; a "seed" makes them the same on every build of the
# same description, as a phone keeps its keybag and file keys between backups.
urandom = os.urandom


def cbc(key, data, iv=bytes(16)):
    pad = padding.PKCS7(128).padder()
    enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return enc.update(pad.update(data) + pad.finalize()) + enc.finalize()


def rec(tag, value):
    return tag + struct.pack('>I', len(value)) + value


def n32(v):
    return struct.pack('>I', v)


def keybag(spec, dp, class_keys):
    """Tag, big-endian length, value records; class keys wrapped by the password key."""
    salt, dpsl, pw = urandom(20), urandom(20), spec['password'].encode()
    bag = b''.join(rec(t, v) for t, v in [(b'VERS', n32(4)), (b'TYPE', n32(1)), (b'UUID', urandom(16)),
                   (b'HMCK', urandom(40)), (b'WRAP', n32(0)), (b'SALT', salt), (b'ITER', n32(spec['iter']))])
    if dp:
        bag += rec(b'DPWT', n32(1)) + rec(b'DPIC', n32(spec['dpic'])) + rec(b'DPSL', dpsl)
        pw = hashlib.pbkdf2_hmac('sha256', pw, dpsl, spec['dpic'], 32)
    key = hashlib.pbkdf2_hmac('sha1', pw, salt, spec['iter'], 32)
    for c in spec['classes']:
        class_keys[c] = urandom(32)
        bag += b''.join(rec(t, v) for t, v in [(b'UUID', urandom(16)), (b'CLAS', n32(c)), (b'WRAP', n32(2)),
                        (b'KTYP', n32(0)), (b'WPKY', aes_key_wrap(key, class_keys[c]))])
    return bag


def mbfile(e, mode, inode, size, sha, key):
    """The NSKeyedArchiver archive of one MBFile, as a binary property list."""
    objects = ['$null', None, e['path']]

    def add(o):
        objects.append(o)
        return plistlib.UID(len(objects) - 1)
    t = e['mtime']
    f = dict(Birth=t - 100, Flags=0, GroupID=501, InodeNumber=inode, LastModified=t, LastStatusChange=t + 1, Mode=mode,
             ProtectionClass=e['cls'], RelativePath=plistlib.UID(2), Size=size, UserID=501)
    ns = add({'$classes': ['NSMutableData', 'NSData', 'NSObject'], '$classname': 'NSMutableData'}) \
        if key or e['nsData'] else None
    if sha:
        f['Digest'] = add({'NS.data': sha, '$class': ns} if e['nsData'] else sha)
    if key:
        f['EncryptionKey'] = add({'NS.data': key, '$class': ns})
    if e['kind'] == LINK:
        f['Target'] = add(e['target'])
    f['$class'] = add({'$classes': ['MBFile', 'NSObject'], '$classname': 'MBFile'})
    objects[1] = f
    return plistlib.dumps({'$archiver': 'NSKeyedArchiver', '$objects': objects, '$top': {'root': plistlib.UID(1)},
                           '$version': 100000}, fmt=plistlib.FMT_BINARY, sort_keys=False)


def mbdb_string(b):
    return b'\xff\xff' if b is None else struct.pack('>H', len(b)) + b


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def build(spec, folder):
    global urandom
    urandom = random.Random(spec['seed']).randbytes if spec['seed'] else os.urandom
    pw = spec['password']
    dp = bool(pw) and not spec['mbdb'] and spec['encryptList']
    class_keys, file_keys, manifest_key, salt = {}, [], b'', urandom(16)
    bag = keybag(spec, dp, class_keys) if pw else b''
    row_key = hashlib.sha1(pw.encode() + salt).digest()[:16] if spec['saltRows'] else b''
    mbdb = bytearray(b'mbdb\x05\x00')
    os.makedirs(folder, exist_ok=True)
    db = sqlite3.connect(':memory:')
    db.executescript('CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, '
                     'file BLOB); CREATE INDEX FilesDomainIdx ON Files(domain); CREATE INDEX FilesRelativePathIdx '
                     'ON Files(relativePath); CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);')
    if spec['saltRows']:
        db.execute("INSERT INTO Properties VALUES('salt', ?)", (salt,))
    for i, e in enumerate(spec['entries']):
        e = {**ENTRY, **e}
        data = e['data'].encode('latin-1')
        mode = [0o100644, 0o40755, 0o120755][e['kind']]
        inode = e['inode'] or i + 1
        fid = e['id'] or hashlib.sha1(((e['domain'] or '') + '-' + (e['path'] or '')).encode()).hexdigest()
        sha = key = file_key = b''
        if e['kind'] == FILE:
            sha, stored = hashlib.sha1(data).digest(), data
            if pw and not e['noKey']:
                file_key = urandom(32)
                key = struct.pack('<I', e['cls']) + aes_key_wrap(class_keys.get(e['cls'], bytes(32)), file_key)
                stored = cbc(file_key, data)
            if not e['noDataFile']:
                write(os.path.join(folder, fid if spec['mbdb'] else os.path.join(fid[:2], fid)), stored)
        file_keys.append(file_key.hex())
        if spec['mbdb']:
            text = [None if s is None else s.encode() for s in (e['domain'], e['path'], e['target'] or None)]
            mbdb += b''.join(mbdb_string(s) for s in text + [sha or None, key or None])
            mbdb += struct.pack('>HQIIIIIQbB', mode, inode, 501, 501, e['mtime'], e['mtime'] + 1, e['mtime'] - 100,
                                len(data), e['cls'], len(e['props']))
            mbdb += b''.join(mbdb_string(p.encode('latin-1')) for pair in e['props'] for p in pair)
            continue
        value = e['raw'].encode('latin-1') if e['raw'] else mbfile(e, mode, inode, len(data), sha, key)
        if row_key:
            value = base64.b64encode(cbc(row_key, value, ROW_IV)).decode()
        db.execute('INSERT OR REPLACE INTO Files VALUES(?,?,?,?,?)',
                   (fid, e['domain'], e['path'], [1, 2, 4][e['kind']], value))
    if spec['mbdb']:
        write(os.path.join(folder, 'Manifest.mbdb'), mbdb)
    else:
        plain = os.path.join(folder, 'Manifest.db')
        if os.path.exists(plain):
            os.remove(plain)
        db.commit()
        db.execute('VACUUM INTO ?', (plain,))
        if dp:
            manifest_key = urandom(32)
            write(plain, cbc(manifest_key, pathlib.Path(plain).read_bytes()))
    lockdown = dict(UniqueDeviceID=spec['udid'], DeviceName=spec['deviceName'], ProductType='iPhone12,1',
                    ProductVersion='16.4', SerialNumber='F2LZK0ABCDEF')
    info = dict(Lockdown=lockdown, Version='10.0', IsEncrypted=bool(pw),
                Date=datetime.datetime(2023, 5, 6, 7, 8, 9))
    if pw:
        info['BackupKeyBag'] = bag
    if dp:
        mc = spec['manifestClass']
        wrapped = aes_key_wrap(class_keys[mc], manifest_key) if mc in class_keys else b''
        info['ManifestKey'] = struct.pack('<I', mc) + wrapped
    write(os.path.join(folder, 'Manifest.plist'), plistlib.dumps(info, fmt=plistlib.FMT_BINARY))
    write(os.path.join(folder, 'Status.plist'), plistlib.dumps({'SnapshotState': 'finished'}))
    return dict(fileKeys=file_keys, manifestKey=manifest_key.hex(), rowKey=row_key.hex())


def plain_list(folder, password):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / 'backup'))
    sys.dont_write_bytecode = True # nothing cached beside the sources
    import backupreader
    from cryptography.hazmat.primitives.keywrap import InvalidUnwrap, aes_key_unwrap
    info = plistlib.loads(pathlib.Path(folder, 'Manifest.plist').read_bytes())
    listing = pathlib.Path(folder, 'Manifest.db').read_bytes()
    if not info.get('IsEncrypted'):
        return listing
    if not info.get('BackupKeyBag'):
        sys.exit(4)
    try:
        keys = backupreader.class_keys(info['BackupKeyBag'], password)
    except InvalidUnwrap:
        sys.exit(3)
    mk = info.get('ManifestKey')
    return backupreader.uncbc(aes_key_unwrap(keys[struct.unpack('<I', mk[:4])[0]], mk[4:]), listing) if mk else listing


if __name__ == '__main__':
    if sys.argv[1] == '--list':
        sys.stdout.buffer.write(plain_list(sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else ''))
    else:
        print(json.dumps(build({**SPEC, **json.load(sys.stdin)}, sys.argv[1])))
