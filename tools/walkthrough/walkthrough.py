#!/usr/bin/env python3
"""Scripted walkthrough of the running system, driven over safari-host's control socket.

scripts/run starts the service stand-in, safari-host and the companion, then runs this
to do what a person would: enable the extension, browse, open the popup and sign in.
Each step prints as it happens and saves a screenshot of the browser window under --out;
the popup steps also save one of the popover, which the extension shows in a window of
its own.
Exits 1 with the failing step's reason. Standard library only, but for the last step, which
presses a button of the companion through AT-SPI (python3-gi).
"""

import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import time

EXTENSION_ID = "com.quorvane.safari.ext"
SUITE = "K4ZT7P2QN8.group.com.quorvane.safari.extension"


class StepFailed(Exception):
    pass


class Control:
    """The control socket: 4-byte little-endian length, then one JSON object."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise StepFailed("safari-host's control socket did not open: " + path)
                time.sleep(0.2)
        self.next_id = 1
        self.buffer = b""

    def _read_message(self, timeout):
        self.sock.settimeout(timeout)
        while True:
            if len(self.buffer) >= 4:
                (size,) = struct.unpack("<I", self.buffer[:4])
                if len(self.buffer) >= 4 + size:
                    body = self.buffer[4 : 4 + size]
                    self.buffer = self.buffer[4 + size :]
                    return json.loads(body)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise StepFailed("safari-host closed the control socket")
            self.buffer += chunk

    def call(self, method, args=None, timeout=30.0):
        """The call's result; raises StepFailed with safari-host's error text."""
        call_id = self.next_id
        self.next_id += 1
        body = json.dumps({"call": method, "args": args or {}, "id": call_id}).encode()
        self.sock.sendall(struct.pack("<I", len(body)) + body)
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise StepFailed(method + ": no reply in %.0f s" % timeout)
            try:
                message = self._read_message(remaining)
            except socket.timeout:
                continue
            if message.get("reply") != call_id:
                continue  # calls from safari-host, or a late reply: not ours
            if "error" in message:
                raise StepFailed(method + ": " + str(message["error"]))
            return message.get("result", {})


def wait_for(what, probe, timeout):
    """Polls probe() until it returns something truthy; that value."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = probe()
            if value:
                return value
        except StepFailed as error:
            last_error = error
        time.sleep(0.1)
    raise StepFailed("timed out after %.0f s waiting for %s%s" % (
        timeout, what, " (" + str(last_error) + ")" if last_error else ""))


class Walkthrough:
    def __init__(self, options):
        self.options = options
        self.origin = options.origin.rstrip("/")
        self.control = None
        self.window = None
        self.tab = None
        self.login = None  # (tab, window) of the sign-in page
        self.step_number = 0

    # Helpers ------------------------------------------------------------------------

    def tabs(self):
        for window in self.control.call("automation.listWindows")["windows"]:
            for tab in window["tabs"]:
                yield window["window"], tab

    def evaluate(self, tab, script, world):
        args = {"tab": tab, "script": script, "world": world}
        if world == "extension":
            args["extensionIdentifier"] = EXTENSION_ID
        return self.control.call("automation.evaluate", args)["value"]

    def screenshot(self, window, name):
        path = os.path.join(self.options.out, "%02d-%s.png" % (self.step_number, name))
        # A window that has just opened or come to the front may not have drawn yet.
        wait_for("a screenshot of the window", lambda: self.control.call(
            "automation.screenshot", {"window": window, "path": path}) is not None, 15)

    def evaluate_popover(self, script):
        return self.control.call("automation.evaluatePopover",
                                 {"extensionIdentifier": EXTENSION_ID, "script": script})["value"]

    def popover_screenshot(self, name):
        path = os.path.abspath(os.path.join(
            self.options.out, "%02d-%s.png" % (self.step_number, name)))
        # The popover's window may not have drawn yet just after it showed.
        wait_for("a screenshot of the popover", lambda: self.control.call(
            "automation.popoverScreenshot",
            {"extensionIdentifier": EXTENSION_ID, "path": path}) is not None, 15)

    def toolbar(self):
        return self.control.call(
            "automation.toolbarItem", {"window": self.window, "extensionIdentifier": EXTENSION_ID})

    def show_popover(self):
        """Clicks the toolbar item until its popover shows."""
        last_click = [0.0]

        def probe():
            if self.toolbar()["popoverShown"]:
                # Shown once the popup answers inside it.
                return self.evaluate_popover("document.querySelector('.qv-primary') !== null")
            # The browser ignores a click just after focus closed the popover; a later one
            # opens it, so click again now and then rather than toggling on every poll.
            if time.monotonic() - last_click[0] > 2.0:
                self.control.call("automation.clickToolbarItem",
                                  {"window": self.window, "extensionIdentifier": EXTENSION_ID})
                last_click[0] = time.monotonic()
            return False

        wait_for("the popover", probe, 15)

    def read_store(self, key):
        result = subprocess.run(
            [self.options.qv_defaults, "--suite", SUITE, "read", key],
            capture_output=True, text=True, check=False)
        return result.stdout.strip() if result.returncode == 0 else None

    def signin_tabs(self):
        return {(tab["tab"], tab["url"]): window for window, tab in self.tabs()
                if tab["url"].startswith(self.origin + "/signin")}

    # Steps --------------------------------------------------------------------------

    def connect(self):
        self.control = Control(self.options.socket, time.monotonic() + 60)
        # The companion registers the bundle at launch; safari-host then knows the extension.
        wait_for("the companion to register the extension with safari-host",
                 lambda: self.control.call("extensions.getState",
                                           {"extensionIdentifier": EXTENSION_ID}) is not None,
                 60)
        return "safari-host is up and knows " + EXTENSION_ID

    def enable(self):
        self.control.call("automation.setExtensionEnabled",
                          {"extensionIdentifier": EXTENSION_ID, "enabled": True})
        # The first enabling makes the companion ask the extension for the sign-in page,
        # in a window of its own; let it come before browsing, so the front window is ours.
        self.login = None
        try:
            found = wait_for("the companion's sign-in page", self.signin_tabs,
                             self.options.companion_wait)
        except StepFailed:
            return "enabled; the companion opened no sign-in page"
        (tab, _), window = next(iter(found.items()))
        self.login = (tab, window)
        self.screenshot(window, "companion-signin")
        return "enabled; the companion opened the sign-in page"

    def open_page(self):
        opened = self.control.call("automation.openWindow", {"url": self.origin + "/"})
        self.window, self.tab = opened["window"], opened["tab"]
        loaded = self.control.call("automation.waitForLoad",
                                   {"tab": self.tab, "timeoutMs": 30000}, timeout=40)
        # The content script registers with the background page, which greets the page.
        wait_for("the assistant's greeting on the page", lambda: self.evaluate(
            self.tab, "window.qvAssistant ? window.qvAssistant.received.some("
            "(m) => m.name === 'qv.hello') : false", "extension"), 30)
        self.screenshot(self.window, "page")
        return loaded["url"]

    def echo(self):
        self.evaluate(self.tab, "window.qvAssistant.echo('hello from the walkthrough'); true",
                      "extension")
        wait_for("the echo back from the background page", lambda: self.evaluate(
            self.tab, "window.qvAssistant.received.some((m) => m.name === 'qv.echo' && "
            "m.message.text === 'hello from the walkthrough')", "extension"), 20)
        return "page → extension → background page → extension → page"

    def badge(self):
        self.control.call("automation.activateTab", {"tab": self.tab})
        text = wait_for("a word count on the toolbar badge",
                        lambda: self.toolbar()["badgeText"], 20)
        self.screenshot(self.window, "badge")
        return "badge shows %r" % text

    def open_popup(self):
        self.show_popover()
        self.screenshot(self.window, "popup")
        self.popover_screenshot("popover")
        who = self.evaluate_popover("document.querySelector('.qv-who').textContent")
        # The road starts where a person starts it: the popup's Sign in. It replaces the
        # companion's sign-in page, if there is one.
        before = {tab for tab, _ in self.signin_tabs()}
        self.evaluate_popover("document.querySelector('.qv-primary').click(); true")
        found = wait_for("the sign-in page from the popup's Sign in", lambda: {
            key: window for key, window in self.signin_tabs().items()
            if key[0] not in before}, 20)
        (tab, _), window = next(iter(found.items()))
        self.login = (tab, window)
        return "popup says %r; pressed its Sign in" % who

    def sign_in(self):
        tab, window = self.login
        self.control.call("automation.activateTab", {"tab": tab})
        self.control.call("automation.waitForLoad", {"tab": tab, "timeoutMs": 30000}, timeout=40)
        wait_for("the sign-in button", lambda: self.evaluate(
            tab, "document.querySelector('#signin') !== null", "page"), 20)
        self.screenshot(window, "signin-page")
        return "sign-in page in the login tab"

    def press_sign_in(self):
        tab, window = self.login
        self.evaluate(tab, "document.querySelector('#signin').click(); true", "page")
        success = self.origin + "/extension-success"
        wait_for("the success page in the login tab (callback → companion → shared store → "
                 "extension → code exchange)", lambda: any(
                     t["tab"] == tab and t["url"].startswith(success) and not t["loading"]
                     for _, t in self.tabs()), 45)
        self.screenshot(window, "signed-in")
        return "success page shown"

    def stored_user(self):
        stored = wait_for("userInfo in the shared store", lambda: self.read_store("userInfo"), 10)
        return "userInfo = " + stored

    def signed_in_popup(self):
        self.control.call("automation.activateTab", {"tab": self.tab})
        # The background page tells every page who signed in; the page shows it.
        name = wait_for("the signed-in user's name on the page", lambda: self.evaluate(
            self.tab, "(window.qvAssistant.received.filter((m) => m.name === 'qv.user')"
            ".pop() || {message: {}}).message.name || null", "extension"), 20)
        item = self.toolbar()
        if item["popoverShown"]:  # closes it, so that the next click shows it fresh
            self.control.call("automation.clickToolbarItem",
                              {"window": self.window, "extensionIdentifier": EXTENSION_ID})
            wait_for("the popover to close", lambda: not self.toolbar()["popoverShown"], 10)

        def popup_says_signed_in():
            self.show_popover()  # opens it again if focus closed it
            who = self.evaluate_popover("document.querySelector('.qv-who').textContent")
            return who if who.startswith("Signed in as ") else None

        who = wait_for("the popup to say who signed in", popup_says_signed_in, 30)
        self.screenshot(self.window, "signed-in-popup")
        self.popover_screenshot("popover")
        return "page greets %s; popup says %r" % (name, who)

    def restart_from_companion(self):
        """Closes the browser; the companion's "Ok, got it" starts it again, as on macOS."""
        try:
            import gi
            gi.require_version("Atspi", "2.0")
            from gi.repository import Atspi
        except (ImportError, ValueError) as error:
            raise StepFailed("pressing the companion's button needs python3-gi and "
                             "gir1.2-atspi-2.0 (scripts/setup installs them): %s" % error)
        self.control.call("automation.quit")
        wait_for("safari-host to close", lambda: not os.path.exists(self.options.socket)
                 or not self._listening(), 20)

        def find_button(node, depth=0):
            if node is None or depth > 64:
                return None
            if node.get_role() == Atspi.Role.PUSH_BUTTON and node.get_name() == "Ok, got it":
                return node
            for index in range(node.get_child_count()):
                found = find_button(node.get_child_at_index(index), depth + 1)
                if found:
                    return found
            return None

        def press():
            desktop = Atspi.get_desktop(0)
            for index in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(index)
                if app is not None and app.get_process_id() == self.options.companion_pid:
                    button = find_button(app)
                    return button is not None and Atspi.Action.do_action(button, 0)
            return False

        wait_for("the companion's \"Ok, got it\" button", press, 20)
        self.control = Control(self.options.socket, time.monotonic() + 30)
        windows = wait_for("a window of the restarted browser", lambda: self.control.call(
            "automation.listWindows")["windows"], 20)
        self.window = windows[0]["window"]
        self.screenshot(self.window, "restarted-browser")
        # It is the companion's child now, not scripts/run's: end it here.
        self.control.call("automation.quit")
        return "the companion started safari-host again"

    def _listening(self):
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(self.options.socket)
            return True
        except OSError:
            return False
        finally:
            probe.close()

    def run(self):
        steps = [
            ("Waiting for safari-host and the companion", self.connect),
            ("Enabling the extension", self.enable),
            ("Opening the service's page", self.open_page),
            ("Sending a message round trip through the background page", self.echo),
            ("Reading the toolbar badge", self.badge),
            ("Opening the popup", self.open_popup),
            ("Showing the sign-in page", self.sign_in),
            ("Pressing Sign in on the service's page", self.press_sign_in),
            ("Checking the shared store", self.stored_user),
            ("Opening the signed-in popup", self.signed_in_popup),
            ("Closing safari-host and pressing the companion's \"Ok, got it\"",
             self.restart_from_companion),
        ]
        for index, (title, step) in enumerate(steps, start=1):
            self.step_number = index
            print("[%d/%d] %s… " % (index, len(steps), title), end="", flush=True)
            try:
                detail = step()
            except StepFailed as error:
                print("FAILED")
                print("walkthrough: step %d (%s) failed: %s" % (index, title, error),
                      file=sys.stderr)
                return 1
            print("ok" + (" (" + detail + ")" if detail else ""), flush=True)
        print("walkthrough: all %d steps passed; screenshots in %s" % (len(steps), self.options.out))
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--socket", required=True, help="safari-host's control socket")
    parser.add_argument("--origin", required=True, help="the service stand-in's origin")
    parser.add_argument("--out", required=True, help="folder for the screenshots")
    parser.add_argument("--qv-defaults", required=True, help="path of qv-defaults")
    parser.add_argument("--companion-pid", type=int, required=True,
                        help="the companion's process, whose buttons the walkthrough presses")
    parser.add_argument("--companion-wait", type=float, default=15.0,
                        help="seconds to wait for the companion's login tab")
    options = parser.parse_args()
    os.makedirs(options.out, exist_ok=True)
    try:
        return Walkthrough(options).run()
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
