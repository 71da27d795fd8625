#!/usr/bin/env python3
# A simulated HID device in a few lines of Python (docs/simulated-hid.md): it takes one host at
# a time and sends every output report back as an input report.
#   python3 python_simulator.py [NAME]      (the device goes to $SORVEX_ROOT/dev/hid)
import fcntl, os, socket, sys

root = os.environ.get("SORVEX_ROOT") or "/var/lib/sorvex"
directory = os.path.join(root, "dev", "hid")
name = sys.argv[1] if len(sys.argv) > 1 else "py-scanner"
os.makedirs(directory, exist_ok=True)
sock_path = os.path.join(directory, name + ".sock")
dev_path = os.path.join(directory, name + ".dev")

# The socket: bound under a temporary name, listening, then renamed into place.
listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
tmp = os.path.join(directory, "." + name + ".sock.tmp")
if os.path.exists(tmp):
    os.unlink(tmp)
listener.bind(tmp)
listener.listen(8)
os.rename(tmp, sock_path)

# The metadata: written under a temporary name, locked for as long as we serve, then renamed.
tmp = os.path.join(directory, "." + name + ".dev.tmp")
meta = open(tmp, "w")
meta.write("version=1\nusage_page=0xFF45\nusage=0x4B00\n"
           "vendor_id=0x1234\nproduct_id=0x0002\nproduct=Python hand-held scanner\n")
meta.flush()
fcntl.flock(meta, fcntl.LOCK_EX)
os.rename(tmp, dev_path)
print("ready", sock_path, flush=True)

try:
    while True:
        host, _ = listener.accept()
        with host:
            try:
                while True:
                    report = host.recv(4096)  # one message is one output report
                    if not report:
                        break                 # the host closed the device
                    host.send(report)         # one message is one input report
            except OSError:
                pass                          # the host went away during a send
finally:
    os.unlink(dev_path)
    os.unlink(sock_path)
