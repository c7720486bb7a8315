// Quorvane content script. Runs in the extension's own script world of every top-level
// page: registers the page with the background page, answers "which page is in front"
// and shows the assistant's short notes. Page scripts see none of it.
(() => {
  "use strict";

  const safari = window.safari;
  if (!safari || !safari.extension || !safari.self) return;

  const pageId = randomId();
  const received = [];
  const noteDuration = 6000;

  function randomId() {
    const bytes = new Uint8Array(12);
    crypto.getRandomValues(bytes);
    return "page-" + Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
  }

  function send(name, data) {
    try {
      safari.extension.dispatchMessage(name, { meta: { srcPageId: pageId }, data });
    } catch (error) {
      console.warn("Quorvane: cannot reach the extension", error);
    }
  }

  // Everything for the background page travels as JSON text inside "passToBgPage".
  function toBackground(message) {
    send("passToBgPage", { json: JSON.stringify(Object.assign({ pageId }, message)) });
  }

  // Counted over the text nodes, not innerText: innerText makes the browser lay out the
  // whole page at once. One pass over the characters, with no string built: a long
  // article has hundreds of thousands of them.
  const notText = new Set(["SCRIPT", "STYLE", "NOSCRIPT", "TEMPLATE"]);
  // The characters a regular expression's \s matches.
  function isSpace(code) {
    return code === 32 || (code >= 9 && code <= 13) || code === 0xa0 || code === 0x1680 ||
      (code >= 0x2000 && code <= 0x200a) || code === 0x2028 || code === 0x2029 ||
      code === 0x202f || code === 0x205f || code === 0x3000 || code === 0xfeff;
  }
  function wordCount() {
    if (!document.body) return 0;
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    let words = 0;
    // Carried from node to node, so that a word split by markup counts once.
    let inWord = false;
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      if (notText.has(node.parentNode.nodeName)) continue;
      const text = node.data;
      for (let i = 0; i < text.length; i++) {
        const space = isSpace(text.charCodeAt(i));
        if (!space && !inWord) words++;
        inWord = !space;
      }
    }
    return words;
  }

  function register() {
    toBackground({ type: "register", url: location.href, title: document.title, words: wordCount() });
  }

  // The note's look, inside its own shadow root: page styles neither leak in nor out.
  const noteStyle = `
    :host { all: initial; }
    .note {
      position: fixed; right: 16px; bottom: 16px; z-index: 2147483647;
      display: grid; grid-template-columns: 1fr auto; gap: 2px 12px; max-width: 320px;
      padding: 12px 14px; border-radius: 10px; border-left: 4px solid #3157d5;
      background: #ffffff; color: #1d2433; box-shadow: 0 6px 24px rgba(29, 36, 51, 0.18);
      font: 13px/1.4 system-ui, -apple-system, sans-serif;
      animation: appear 160ms ease-out;
    }
    .note--error { border-left-color: #c8372d; }
    .title { grid-column: 1; font-weight: 600; }
    .text { grid-column: 1; color: #4a5468; }
    .close {
      grid-column: 2; grid-row: 1 / span 2; align-self: start; margin: 0; padding: 0 2px;
      border: 0; background: none; cursor: pointer; font: 18px/1 system-ui, sans-serif;
      color: #8a93a6;
    }
    .close:hover { color: #1d2433; }
    @keyframes appear { from { opacity: 0; transform: translateY(8px); } to { opacity: 1; transform: none; } }
  `;

  // A small note in the page's corner; a newer note replaces an older one. It lives in
  // a closed shadow root, so that the page's own scripts cannot read what it says (the
  // signed-in user's name, for one).
  let noteHost = null;
  let noteText = "";
  let noteTimer = 0;
  function showNote(title, text, kind) {
    hideNote();
    noteHost = document.createElement("div");
    const shadow = noteHost.attachShadow({ mode: "closed" });
    const style = document.createElement("style");
    style.textContent = noteStyle;
    const note = document.createElement("div");
    note.className = "note" + (kind ? " note--" + kind : "");
    note.setAttribute("role", "status");
    const heading = document.createElement("strong");
    heading.className = "title";
    heading.textContent = title;
    const body = document.createElement("span");
    body.className = "text";
    body.textContent = text || "";
    const close = document.createElement("button");
    close.className = "close";
    close.type = "button";
    close.setAttribute("aria-label", "Dismiss");
    close.textContent = "\u00d7";
    close.addEventListener("click", hideNote);
    note.append(heading, body, close);
    shadow.append(style, note);
    (document.body || document.documentElement).append(noteHost);
    noteText = title + " " + (text || "");
    noteTimer = setTimeout(hideNote, noteDuration);
  }

  function hideNote() {
    clearTimeout(noteTimer);
    if (noteHost) noteHost.remove();
    noteHost = null;
    noteText = "";
  }

  // Marks the paragraph with the most text, the one a reader most likely came for.
  function highlightMainParagraph() {
    let best = null;
    const paragraphs = document.querySelectorAll("p");
    for (const paragraph of paragraphs.length ? paragraphs : document.querySelectorAll("article, main")) {
      if (!best || paragraph.innerText.length > best.innerText.length) best = paragraph;
    }
    for (const old of document.querySelectorAll(".qv-assistant-highlight")) {
      old.classList.remove("qv-assistant-highlight");
    }
    if (best) best.classList.add("qv-assistant-highlight");
    return best !== null;
  }

  const handlers = {
    "exposedApi.reportActive": () => send("activePage", { url: location.href }),
    "exposedApi.oauthError": (message) =>
      showNote("Sign-in failed", message.error || "Please try again.", "error"),
    "qv.hello": (message) => {
      const who = message.userName ? ", " + message.userName : "";
      showNote("Quorvane" + who, message.text || "The assistant is ready on this page.");
    },
    "qv.highlight": (message) => {
      const found = highlightMainParagraph();
      showNote("Quorvane", found ? message.text || "Here is the heart of this page." : "Nothing to highlight here.");
    },
    "qv.user": (message) =>
      showNote("Quorvane", message.name ? "Signed in as " + message.name + "." : "Signed out."),
    "qv.echo": () => {},
  };

  safari.self.addEventListener("message", (event) => {
    const message = event.message && typeof event.message === "object" ? event.message : {};
    received.push({ name: event.name, message });
    if (received.length > 100) received.shift();
    const handler = handlers[event.name];
    if (handler) handler(message);
  });

  // Visible in this script world only: lets automation see what arrived and ask for a
  // round trip through the background page.
  Object.defineProperty(window, "qvAssistant", {
    value: Object.freeze({
      pageId,
      received,
      // What the note shows now ("" when none), for automation in this world.
      noteText: () => noteText,
      echo: (text) => toBackground({ type: "echo", text: String(text) }),
    }),
  });

  // The page's own load comes first. This script runs once the document is parsed, and
  // what it sets off (counting, the background page's answer, the note) would otherwise
  // hold back the page's load event. It starts just after that event, or 100 ms after
  // parsing when the page is still fetching images and the like.
  function afterPageLoad(start) {
    let started = false;
    const once = () => {
      if (started) return;
      started = true;
      start();
    };
    if (document.readyState === "complete") return setTimeout(once, 0);
    window.addEventListener("load", () => setTimeout(once, 0), { once: true });
    setTimeout(once, 100);
  }

  afterPageLoad(() => {
    register();
    window.addEventListener("pagehide", () => send("unregisterPage", {}));
    // A page restored from the back-forward cache was unregistered when it was hidden.
    window.addEventListener("pageshow", (event) => {
      if (event.persisted) register();
    });
  });
})();
