"""The web page in headless Chromium against the simulated device
(index.html?simulate and profiles chosen in the page), compared with what
the native vexo3 prints for the same device and package.

  page_test.py --page build/web/page --vexo3 build/dev/src/cli/vexo3 [--screenshots DIR]

Web Serial can't tell a port's serial number: the page's report reads
"USB-serial chip ID: unknown" where vexo3's names the chip's. That line is
the one difference allowed; every other byte must be the same."""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webdriver  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPLAY = os.path.normpath(os.path.join(HERE, "..", "..", "replay"))
PROFILES = os.path.join(REPLAY, "profiles")
PACKAGE = os.path.join(REPLAY, "packages", "small.bin")

# A profile of tests/replay/profiles ("" = the default scenario) and the
# options that make vexo3 info ask for the device the page opens (the first
# HandController, as the dialogs do). vexo3's report is on stdout, its error
# box as "ERROR: text" on stderr.
# clang-format off
REPORT_ROWS = [
    ("",                   []),
    ("boot.json",          []),
    ("app-mode.json",      []),
    ("camera-silent.json", []),
    ("two-chips.json",     ["--serial", "VX300001"]),
]
# clang-format on

JS_STATE = """
const $ = (id) => document.getElementById(id);
return {busy: !!document.body.dataset.busy, box: $('box').open, report: $('report').open, status: $('status').textContent,
        caption: $('box-caption').textContent, text: $('box-text').textContent,
        yesNo: !$('box-yes').hidden, reportText: $('report-text').textContent,
        summary: $('summary').textContent, file: $('file').value,
        hc: $('progress-HandController').value, hcMax: $('progress-HandController').max,
        camera: $('progress-Camera').value, cameraMax: $('progress-Camera').max,
        failedBars: [...document.querySelectorAll('progress.failed')].map((p) => p.id)};
"""


class Page:
    def __init__(self, browser, url):
        self.b = browser
        self.url = url

    def open(self, profile=""):
        self.b.get(self.url + "index.html?simulate")
        self.b.wait("return document.body.dataset.ready", 30, "the page to be ready")
        if profile:
            path = os.path.join(PROFILES, profile)  # as is when absolute
            self.b.send_keys("#profile-input", path)
            self.b.wait("return document.getElementById('profile-name').textContent === %r"
                        " || document.getElementById('profile-error').textContent"
                        % os.path.basename(path), 20, "the profile")

    def state(self):
        return self.b.run(JS_STATE)

    def settle(self):
        """Waits until the action has ended or shows a box or the report."""
        self.b.wait("const s = (() => {%s})(); return !s.busy || s.box || s.report" % JS_STATE,
                    120, "the action")
        return self.state()

    def action(self, button):
        self.b.click(button)
        return self.settle()

    def close_dialogs(self, answer="box-no"):
        """Closes each box (a Yes/No one with `answer`) and the report until
        the action has ended; the state then."""
        while True:
            s = self.state()
            if s["report"]:
                self.b.click("#report-ok")
            elif s["box"]:
                self.b.click("#" + (answer if s["yesNo"] else "box-ok"))
            elif not s["busy"]:
                return s
            self.settle()

    def choose_package(self, path):
        # Headless Chromium cancels a file chooser at once; held back, the
        # input waits for the file WebDriver gives it, as for a person's pick.
        self.b.cdp("Page.setInterceptFileChooserDialog", {"enabled": True})
        self.b.click("#browse")
        self.b.send_keys("#file-input", path)
        return self.settle()

    def trace(self):
        return self.b.run_async("const done = arguments[arguments.length - 1];"
                                " Module.vexo3EndTrace().then(done);")


def native(vexo3, *args):
    run = subprocess.run([vexo3, *args], capture_output=True, text=True, timeout=120)
    return run.returncode, run.stdout, run.stderr


def as_page_sees_it(report):
    return re.sub(r"^USB-serial chip ID: .*$", "USB-serial chip ID: unknown", report, flags=re.M)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--page", required=True)
    ap.add_argument("--vexo3", required=True)
    ap.add_argument("--screenshots")
    args = ap.parse_args()
    failures = []
    passed = 0

    def check(name, got, want):
        nonlocal passed
        if got == want:
            passed += 1
            print("ok   %s" % name)
        else:
            failures.append(name)
            print("FAIL %s\n  page:   %r\n  vexo3:  %r" % (name, got, want))

    with webdriver.serve(os.path.abspath(args.page)) as url, \
            webdriver.Browser(width=880, height=820) as browser:
        page = Page(browser, url)

        # Read device info: the report, or the box, as vexo3 info prints it.
        for profile, options in REPORT_ROWS:
            page.open(profile)
            s = page.action("#info")
            sim = "--simulate=" + os.path.join(PROFILES, profile) if profile else "--simulate"
            code, out, err = native(args.vexo3, sim, *options, "info")
            name = "info %s" % (profile or "default scenario")
            if code == 0:
                check(name, s["report"] and s["reportText"], as_page_sees_it(out))
            else:
                check(name, s["box"] and s["caption"] + ": " + s["text"], err.rstrip("\n"))
            if profile == "" and args.screenshots:
                browser.screenshot(os.path.join(args.screenshots, "web-device-information.png"))
            page.close_dialogs()

        # No HandController: the dialog's box (vexo3 words it its own way).
        page.open("no-device.json")
        s = page.action("#info")
        check("info no-device.json", (s["box"], s["caption"], s["text"].split("\r\n")[0]),
              (True, "ERROR", "Can't open device!"))
        page.close_dialogs()

        # The trace of that last run of the default scenario replays with vexo3.
        page.open()
        s = page.action("#info")
        report = s["reportText"]
        page.close_dialogs()
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(page.trace())
        code, out, err = native(args.vexo3, "--replay=" + f.name, "info")
        os.unlink(f.name)
        check("trace replays with vexo3 --replay", (code, out), (0, report))

        # "...": the package's summary as vexo3 inspect prints it.
        s = page.choose_package(PACKAGE)
        code, out, err = native(args.vexo3, "inspect", PACKAGE)
        check("summary of small.bin", s["summary"], out)
        check("field names the chosen file", s["file"], os.path.basename(PACKAGE))
        if args.screenshots:
            browser.screenshot(os.path.join(args.screenshots, "web-before-update.png"))

        # Both units updated: "DONE ok", both bars full, and the report then
        # shows the package's versions.
        s = page.action("#update")
        s = page.close_dialogs()
        check("update ends DONE ok", (s["status"], s["hc"] == s["hcMax"] > 1,
                                      s["camera"] == s["cameraMax"] > 1, s["failedBars"]),
              ("DONE ok", True, True, []))
        if args.screenshots:
            browser.screenshot(os.path.join(args.screenshots, "web-after-update.png"))
        s = page.action("#info")
        report = s["reportText"]
        page.close_dialogs()
        versions = re.findall(r"Firmware version:   (\S+)", report)
        summary = re.findall(r"ver\. (\S+)", page.state()["summary"])
        check("report after the update shows the package's versions",
              versions, [summary[0], summary[1][:5]] if len(summary) == 2 else summary)

        # A unit that refuses to start its update: the box vexo3 names on
        # stderr, "Update failed..." and the HandController's bar marked.
        page.open("hc-refuses-start.json")
        page.choose_package(PACKAGE)
        s = page.action("#update")
        box = (s["box"], s["caption"] + ": " + s["text"])
        s = page.close_dialogs()
        code, out, err = native(args.vexo3, "--simulate=" + os.path.join(PROFILES,
                                "hc-refuses-start.json"), "update", PACKAGE, "--yes", "--no-verify")
        check("update refused by the HandController", (box, s["status"], s["failedBars"]),
              ((True, err.splitlines()[0] if err else ""), "Update failed...",
               ["progress-HandController"]))
        # Its trace replays as vexo3's own run on that profile: the page's
        # update makes the driver calls the programs make.
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(page.trace())
        replayed = native(args.vexo3, "--replay=" + f.name, "update", PACKAGE, "--yes",
                          "--no-verify")
        os.unlink(f.name)
        check("trace of a refused update replays with vexo3 --replay", replayed, (code, out, err))

        # A board newer than the image supports: the PCB warning as a Yes/No
        # box worded as vexo3 asks it; No writes nothing.
        with open(os.path.join(PROFILES, "boot.json")) as f:
            profile = json.load(f)
        profile["chips"][0]["hand_controller"]["pcb_id"] = 0
        with tempfile.TemporaryDirectory() as folder:
            newer = os.path.join(folder, "newer-pcb.json")
            with open(newer, "w") as f:
                json.dump(profile, f)
            page.open(newer)
            page.choose_package(PACKAGE)
            s = page.action("#update")
            yes_no = s["box"] and s["yesNo"]
            question = "%s: %s\n" % (s["caption"], s["text"].replace("\r\n", "\n"))
            s = page.close_dialogs("box-no")
            code, out, err = native(args.vexo3, "--simulate=" + newer, "update", PACKAGE,
                                    "--no-verify")
        check("PCB warning answered No", (yes_no, err.startswith(question),
                                          s["status"], s["hc"], s["camera"]),
              (True, True, "Update failed...", 0, 0))

        for entry in browser.log():
            if entry.get("level") == "SEVERE" and "favicon" not in entry.get("message", ""):
                print("browser: %s" % entry.get("message"))

    print("%d passed, %d failed" % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
