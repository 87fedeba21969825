#!/usr/bin/env python3
"""Drives the stand-in host as a person would: `tarnhost ls \\` on a configured module, natively or under
Wine (--emulator). With TARN_HUB_URL set (run through run_with_hub.py) it also browses and downloads, and
natively runs the commands that ask through the host's request boxes, answered by --answer."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

failures = []
checks_run = 0


def check(cond, what):
    global checks_run
    checks_run += 1
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def run(cmd):
    p = subprocess.run(cmd, capture_output=True, text=True, encoding="utf-8", errors="replace")
    return p.returncode, p.stdout, p.stderr


def wine_path(emulator, flag, path):
    return subprocess.run(emulator + ["winepath.exe", flag, path], capture_output=True, text=True,
                          check=True).stdout.strip()


def config_folder(emulator, work):
    """The plugin's configuration folder as a Unix path, emptied."""
    if not emulator:
        os.environ["XDG_CONFIG_HOME"] = os.path.join(work, "config")
        os.environ["XDG_DATA_HOME"] = os.path.join(work, "data")
        return os.path.join(work, "config", "tarnfs")
    appdata = subprocess.run(emulator + ["cmd.exe", "/c", "echo %APPDATA%"], capture_output=True,
                             text=True, check=True).stdout.strip()
    folder = os.path.join(wine_path(emulator, "-u", appdata), "tarnfs")
    shutil.rmtree(folder, ignore_errors=True)
    return folder


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def request_box_flows(host, hub, folder, work, version):
    """The Linux module's commands through the host's request boxes, with "/" as the separator."""
    entries = lambda: load(os.path.join(folder, "favorites.json"))["entries"]
    rc, out, err = run(host + ["ls", "/Demo models/"])
    check(rc == 0 and "[Load next 10 models]" in out, "a \"/\" path with a trailing \"/\" lists the entry")
    rc, out, err = run(host + ["exec", "/Demo models/[Load next 10 models]"])
    check("go to /Demo models" in out, "the paging item sends the host back with \"/\" (%s)" % out.strip())

    before = len(entries())
    rc, out, err = run(host + ["--answer", hub + "word-lab/", "exec", "/[Add New Entry]"])
    check("go to /" in out and "Added:\n  word-lab - models\n  word-lab - datasets\n  word-lab - collections" in err,
          "add entry: a URL box, then an OK message naming the three entries (%s)" % err.strip()[-200:])
    names = [e["display_name"] for e in entries()]
    check(len(names) == before + 3 and "word-lab - collections" in names, "the added entries are saved")
    run(host + ["--answer", "https://huggingface.co/tarn-demo/sentiment-mini/tree/main?x=1", "mkdir", "/New folder"])
    added = entries()[-1]
    check(added["repo_id"] == "tarn-demo/sentiment-mini" and added["display_name"] == "sentiment-mini",
          "make folder adds from a pasted page address, keeping owner/name")
    for answers, what in ((["--answer", "https://example.com/word-lab"], "Invalid URL"), (["--cancel"], "")):
        count = len(entries())
        rc, out, err = run(host + answers + ["exec", "/[Add New Entry]"])
        check(len(entries()) == count and what in err, "add entry with %s adds nothing" % answers[-1])

    # No box to tick here: an owner's Spaces page adds the Spaces beside the default kinds.
    rc, out, err = run(host + ["--answer", hub + "spaces/tarn-demo", "exec", "/[Add New Entry]"])
    check("\n  tarn-demo - spaces" in err and "\n  tarn-demo - models" in err,
          "an owner's Spaces address adds its Spaces too (%s)" % err.strip()[-200:])
    rc, out, err = run(host + ["exec", "/tarn-demo - spaces/hello-space", "properties"])
    check("Space: tarn-demo/hello-space\nSDK: static" in err, "a Space's properties tell its SDK (%s)" % err.strip())

    # The temporary folder's question and its failures: browse/temporary_test.cpp.
    rc, out, err = run(host + ["ls", "/word-lab - datasets"])
    check(rc == 0 and "poems" in out, "an added entry browses")

    rc, out, err = run(host + ["--answer", "hf_demo_token", "exec", "/[Settings]"])
    check("\u2713 API key valid" in err and "hf_demo_token" not in err, "settings: key checked, never echoed")
    check("api_key_enc" in load(os.path.join(folder, "favorites.json")), "the key is saved protected")

    rc, out, err = run(host + ["exec", "/", "properties"])
    check("Repositories: %d" % len(entries()) in err and "Version: %s" % version in err,
          "properties of the root: an OK message with the plugin's fields, the project version among them")
    rc, out, err = run(host + ["--answer", "n", "--yes", "exec", "/Demo models", "properties"])
    check("Type: Organization (models)" in err and "Clear the cached listings of this entry?" in err
          and "go to /" in out, "properties of an entry: its fields, then the cache question")
    check([e for e in entries() if e["display_name"] == "Demo models"][0]["cached_at"] == 0,
          "answering yes resets the cached time")

    # Changes on the hub: every Yes changes the entry, every No or Cancel keeps what it was.
    single = lambda: [e for e in entries() if e["display_name"] == "sentiment-mini"][0]
    changes = lambda: (single().get("allow_changes", False), single().get("changes_as_pull_request", False))
    for answers, shown, asked, wanted in (
            (["--cancel"], "Changes on the hub: off", ["Allow changes on the hub?", "Now: off"], (False, False)),
            (["--answer", "y", "--answer", "n"], "Changes on the hub: off",
             ["Allow changes on the hub?", "Open a pull request for each change instead?"], (True, False)),
            (["--answer", "n", "--answer", "y"], "Changes on the hub: on. Changes go to the branch main.",
             ["Turn changes on the hub off?", "Now: on"], (True, True)),
            (["--cancel", "--cancel"], "on. Each change opens a pull request against main.",
             ["Commit the changes to the branch instead?"], (True, True)),
            (["--answer", "y"], "Changes on the hub: on.", ["Turn changes on the hub off?"], (False, True))):
        rc, out, err = run(host + answers + ["--no", "exec", "/sentiment-mini", "properties"])
        check(shown in err and all(a in err for a in asked) and changes() == wanted,
              "changes on the hub after %s: %s" % (" ".join(answers), wanted))

    export = os.path.join(work, "settings.json")
    rc, out, err = run(host + ["exec", "/", "quote export " + export])
    check("Exported %d entries." % len(entries()) in err and "api_key" not in load(export),
          "quote export writes the entries without the key")
    run(host + ["exec", "/", "quote export-with-key \"%s\"" % export])
    exported = load(export)
    check(exported.get("api_key") == "hf_demo_token", "quote export-with-key includes it")
    exported["entries"] = exported["entries"][:1]
    with open(export, "w", encoding="utf-8") as f:
        json.dump(exported, f)
    rc, out, err = run(host + ["exec", "/", "quote import-replace " + export])
    check("Imported 1 entries, API key set." in err and len(entries()) == 1,
          "quote import-replace (%s)" % err.strip()[-120:])
    for command, wanted, what in (("quote import " + os.path.join(work, "absent.json"),
                                   ["Import failed", "Could not open the file."], "a failed import says why"),
                                  ("quote frobnicate x", ["host handles it (-1)"], "another quoted command is left to the host")):
        rc, out, err = run(host + ["exec", "/", command])
        check(all(w in out + err for w in wanted), what)


def write_flows(host, hub, folder, work, emulator):
    """put, mkdir, mv and rm into the fake hub's write-org/playground, each one operation."""
    path = os.path.join(folder, "favorites.json")
    with open(path, encoding="utf-8") as f:
        saved = f.read()
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"hub_url": hub, "api_key": "hf_test_write", "entries": [
            {"display_name": "Play", "type": "single-model", "repo_id": "write-org/playground",
             "allow_changes": True}]}, f)
    base = "tarnhost-%d" % os.getpid()  # the hub keeps what earlier runs committed
    locals_ = []
    for name in ("a.txt", "b.txt"):
        target = os.path.join(work, name)
        with open(target, "w") as f:
            f.write("bytes of " + name)
        locals_.append(wine_path(emulator, "-w", target) if emulator else target)
    rc, out, err = run(host + ["put", locals_[0], "\\Play\\%s.txt" % base])
    check(rc == 0 and "done (0)" in out, "put copies one file in (%s)" % err.strip())
    rc, out, err = run(host + ["put", locals_[1], "\\Play\\%s.txt" % base])
    check(rc == 11 and "target exists" in err, "put without --overwrite says the file exists (%d)" % rc)
    rc, out, err = run(host + ["put", locals_[1], "\\Play\\%s.txt" % base, "--overwrite"])
    check(rc == 0, "put --overwrite replaces it (%s)" % err.strip())
    rc, out, err = run(host + ["put"] + locals_ + ["\\Play\\" + base])
    check(rc == 0 and out.count("done (0)") == 2, "put of several files into a folder (%s)" % err.strip())
    rc, out, err = run(host + ["ls", "\\Play\\" + base])
    check(rc == 0 and "a.txt" in out and "b.txt" in out, "the folder lists what was put (%s)" % out.strip())
    rc, out, err = run(host + ["mv", "\\Play\\%s\\a.txt" % base, "\\Play\\%s\\c.txt" % base])
    check(rc == 0, "mv renames inside the repository (%s)" % err.strip())
    rc, out, err = run(host + ["rm", "\\Play\\%s\\b.txt" % base])
    check(rc == 0, "rm deletes inside the repository (%s)" % err.strip())
    rc, out, err = run(host + ["ls", "\\Play\\" + base])
    check(rc == 0 and "c.txt" in out and "a.txt" not in out and "b.txt" not in out,
          "the folder lists the rename and the delete (%s)" % out.strip())
    rc, out, err = run(host + ["mkdir", "\\Play\\%s-made" % base])
    check(rc == 0, "mkdir inside the repository")
    rc, out, err = run(host)
    check(rc == 2 and "put LOCAL" in err and "rmdir" in err, "the usage lists put and the commands that change")
    with open(path, "w", encoding="utf-8") as f:
        f.write(saved)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--emulator", default="")
    ap.add_argument("--version", required=True, help="the project version the properties must show")
    ap.add_argument("tarnhost")
    a = ap.parse_args()
    emulator = [a.emulator] if a.emulator else []
    work = tempfile.mkdtemp(prefix="tarnhost-test-")
    folder = config_folder(emulator, work)
    os.makedirs(folder, exist_ok=True)
    # The user's own cache of the hub's Python tools is never read: an empty one of this run's own.
    for name, sub in (("HF_HUB_CACHE", "hf-hub"), ("HF_HOME", "hf-home")):
        path = os.path.join(work, sub)
        os.environ[name] = "Z:" + path.replace("/", "\\") if emulator else path  # Wine's Z: is /
    hub = os.environ.get("TARN_HUB_URL", "")
    config = {"entries": [
        {"display_name": "Demo models", "type": "org-models", "org": "tarn-demo", "limit_count": 10,
         "created_at": 1704164645},
        {"display_name": "Tiny model", "type": "single-model", "repo_id": "tarn-demo/tiny-llm"},
    ]}
    if hub:
        config["hub_url"] = hub
    with open(os.path.join(folder, "favorites.json"), "w", encoding="utf-8") as f:
        json.dump(config, f)

    host = emulator + [a.tarnhost]
    rc, out, err = run(host + ["ls", "\\"])
    if rc == 77 and emulator:
        print(err.strip())
        return 77  # the emulator cannot run this program's bitness here: a skip, not a pass
    lines = out.splitlines()
    check(rc == 0, "ls \\ exits 0 (%d: %s)" % (rc, err.strip()))
    check(len(lines) == 5 and lines[0].startswith("dir") and lines[0].endswith("***_TEMPORARY_***"),
          "root lists 3 fixed records and 2 entries, the temporary folder first (%d lines)" % len(lines))
    check(any(l.endswith("Demo models") and "2024-01-02 03:04:05" in l for l in lines),
          "entry with its creation time in UTC")
    rc, out, err = run(host + ["ls", "/No such entry"])
    check(rc != 0 and "empty folder" in err, "an empty listing says so and exits non-zero")

    if hub:
        for args, wanted, what in ((["ls", "\\Demo models"], "[Load next 10 models]", "organisation page with its paging item"),
                                   (["tree", "\\Tiny model", "--depth", "2"], "config.json", "tree of a single repository")):
            rc, out, err = run(host + args)
            check(rc == 0 and wanted in out, what)
        target = os.path.join(work, "config.json")
        local = wine_path(emulator, "-w", target) if emulator else target
        rc, out, err = run(host + ["get", "\\Tiny model\\config.json", local])
        check(rc == 0 and os.path.exists(target), "get downloads a file (%s)" % err.strip())
        rc, out, err = run(host + ["get", "\\Tiny model\\config.json", local])
        check(rc == 11, "a second get without --overwrite reports the target exists")
        write_flows(host, hub, folder, work, emulator)

    if hub and not emulator:  # the Windows module shows real dialogs instead of request boxes
        request_box_flows(host, hub, folder, work, a.version)

    shutil.rmtree(work, ignore_errors=True)
    print("%d checks run: %d passed, %d failed" % (checks_run, checks_run - len(failures), len(failures)))
    return 1 if failures or checks_run == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
