"""logon_task_test.py WRITER_EXE: the installer's log-on task definition, as Task Scheduler reads
it, written by the installer's own code under Wine (whose schtasks keeps only a task's name and
settings) and parsed here."""
import os, subprocess, sys, xml.etree.ElementTree as ET

writer = sys.argv[1]
out = os.path.join(os.path.dirname(writer), "logon-task.xml")
if os.path.exists(out):
    os.remove(out)
wine_run = os.path.join(os.path.dirname(__file__), "..", "wine_run.sh")
subprocess.run([wine_run, writer], check=True, timeout=60)
raw = open(out, "rb").read()
assert raw.startswith(b"\xff\xfe"), "schtasks wants UTF-16 with its byte order mark"
task = ET.fromstring(raw.decode("utf-16").replace('encoding="UTF-16"', "", 1))
NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
expected = {
    # Any user's log-on, no user named.
    "t:Triggers/t:LogonTrigger/t:Enabled": "true",
    "t:Triggers/t:LogonTrigger/t:UserId": None,
    "t:Principals/t:Principal/t:GroupId": "S-1-5-32-545",
    "t:Principals/t:Principal/t:RunLevel": "HighestAvailable",
    # The program stays in the tray with a periodic schedule: no time limit.
    "t:Settings/t:ExecutionTimeLimit": "PT0S",
    "t:Settings/t:DisallowStartIfOnBatteries": "false",
    "t:Settings/t:StopIfGoingOnBatteries": "false",
    "t:Actions/t:Exec/t:Command": '"C:\\Program Files\\Tools & Co\\Orvalen.exe"',
    "t:Actions/t:Exec/t:Arguments": "s",
}
for path, text in expected.items():
    node = task.find(path, NS)
    got = node.text if node is not None else None
    assert got == text, f"{path}: {got!r}, expected {text!r}"
assert len(task.findall("t:Actions/t:Exec", NS)) == 1
print("logon task definition: ok")
