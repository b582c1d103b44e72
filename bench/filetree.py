"""The files a run wrote, for the bench scripts beside this one."""
import hashlib
import os


def digest(data):
    return hashlib.sha256(data).hexdigest()


def digests(top):
    """{relative path: SHA-256} of every file below top."""
    found = {}
    for root, _, files in os.walk(top):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, top)] = digest(f.read())
    return found
