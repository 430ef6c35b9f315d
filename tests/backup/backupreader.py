#!/usr/bin/python3
# Reads every file record of an iTunes-style backup folder the way an outside
# tool would, from the public format descriptions alone (standard library and
# Debian's python3-cryptography): the keybag unlocked with the password, the
# file list (Manifest.mbdb, Manifest.db plain, salted or encrypted), each data
# file decrypted with its own record's key. Prints one JSON object: the file
# ID of each file record -> its plain bytes in hex, or "error: ..." / "missing".
#   usage: backupreader.py FOLDER [PASSWORD]
import base64, hashlib, json, os, plistlib, shutil, sqlite3, struct, sys, tempfile
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.keywrap import aes_key_unwrap

ROW_IV = bytes.fromhex('3e91c4a70fd2586be13a9c74d0f5286b')


def uncbc(key, data, iv=bytes(16)):
    dec = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    unpad = padding.PKCS7(128).unpadder()
    return unpad.update(dec.update(data) + dec.finalize()) + unpad.finalize()


def class_keys(bag, password):
    top, classes, cur, i = {}, {}, None, 0
    while i + 8 <= len(bag):
        tag, n = bag[i:i + 4].decode('latin-1'), struct.unpack('>I', bag[i + 4:i + 8])[0]
        value, i = bag[i + 8:i + 8 + n], i + 8 + n
        if tag == 'UUID' and 'UUID' in top:
            cur = {}
            classes[len(classes)] = cur
        (cur if cur is not None else top)[tag] = value
    pw = password.encode()
    if 'DPSL' in top:
        pw = hashlib.pbkdf2_hmac('sha256', pw, top['DPSL'], struct.unpack('>I', top['DPIC'])[0], 32)
    key = hashlib.pbkdf2_hmac('sha1', pw, top['SALT'], struct.unpack('>I', top['ITER'])[0], 32)
    keys = {}
    for c in classes.values():
        if struct.unpack('>I', c['WRAP'])[0] & 2:
            keys[struct.unpack('>I', c['CLAS'])[0]] = aes_key_unwrap(key, c['WPKY'])
    return keys


def mbdb_records(raw):
    i, out = 6, []

    def string():
        nonlocal i
        n = struct.unpack('>H', raw[i:i + 2])[0]
        i += 2
        if n == 0xFFFF:
            return None
        i += n
        return raw[i - n:i]
    while i < len(raw):
        domain, path, _, _, key = [string() for _ in range(5)]
        mode, _, _, _, _, _, _, _, cls, props = struct.unpack('>HQIIIIIQBb', raw[i:i + 40])
        i += 40
        for _ in range(max(props, 0) * 2):
            string()
        out.append((domain.decode(), path.decode(), mode, cls, key))
    return out


def db_records(path, password):
    db = sqlite3.connect(path)  # a copy: its log may be folded in
    salt = None
    if db.execute("select 1 from sqlite_master where name='Properties'").fetchone():
        row = db.execute("select value from Properties where key='salt'").fetchone()
        salt = row[0] if row else None
    out = []
    for domain, rel, value in db.execute('select domain, relativePath, file from Files'):
        if salt:
            value = uncbc(hashlib.sha1(password.encode() + salt).digest()[:16], base64.b64decode(value), ROW_IV)
        archive = plistlib.loads(value)
        objs = archive['$objects']
        root = objs[archive['$top']['root'].data]
        key = root.get('EncryptionKey')
        if key is not None:
            key = objs[key.data]
            key = key['NS.data'] if isinstance(key, dict) else key
        out.append((domain, rel, root['Mode'], root['ProtectionClass'], key))
    db.close()
    return out


def main(folder, password):
    info = plistlib.loads(open(os.path.join(folder, 'Manifest.plist'), 'rb').read())
    keys = class_keys(info['BackupKeyBag'], password) if info.get('IsEncrypted') else {}
    mbdb = os.path.exists(os.path.join(folder, 'Manifest.mbdb'))
    scratch = tempfile.mkdtemp()
    try:
        if mbdb:
            records = mbdb_records(open(os.path.join(folder, 'Manifest.mbdb'), 'rb').read())
        else:
            listing = open(os.path.join(folder, 'Manifest.db'), 'rb').read()
            if info.get('ManifestKey'):
                mk = info['ManifestKey']
                listing = uncbc(aes_key_unwrap(keys[struct.unpack('<I', mk[:4])[0]], mk[4:]), listing)
            copy = os.path.join(scratch, 'Manifest.db')
            open(copy, 'wb').write(listing)
            # A plain list is read with its log, as SQLite itself would.
            if not info.get('ManifestKey') and os.path.isfile(os.path.join(folder, 'Manifest.db-wal')):
                shutil.copyfile(os.path.join(folder, 'Manifest.db-wal'), copy + '-wal')
            records = db_records(copy, password)
    finally:
        shutil.rmtree(scratch)
    files = {}
    for domain, rel, mode, cls, key in records:
        if mode & 0xF000 != 0x8000:
            continue
        fid = hashlib.sha1((domain + '-' + rel).encode()).hexdigest()
        data_path = os.path.join(folder, fid if mbdb else os.path.join(fid[:2], fid))
        if not os.path.isfile(data_path):
            files[fid] = 'missing'
            continue
        data = open(data_path, 'rb').read()
        try:
            if keys and key:
                data = uncbc(aes_key_unwrap(keys[cls], key[4:]), data)
            files[fid] = data.hex()
        except Exception as e:
            files[fid] = 'error: %s' % (e or type(e).__name__)
    print(json.dumps(files))


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else '')
