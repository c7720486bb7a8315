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

  function wordCount() {
    const text = document.body ? document.body.innerText : "";
    const words = text.match(/\S+/g);
    return words ? words.length : 0;
  }

  function register() {
    toBackground({ type: "register", url: location.href, title: document.title, words: wordCount() });
  }

  // A small note in the page's corner; a newer note replaces an older one.
  let note = null;
  let noteTimer = 0;
  function showNote(title, text, kind) {
    hideNote();
    note = document.createElement("div");
    note.className = "qv-assistant-note" + (kind ? " qv-assistant-note--" + kind : "");
    note.setAttribute("role", "status");
    const heading = document.createElement("strong");
    heading.className = "qv-assistant-note__title";
    heading.textContent = title;
    const body = document.createElement("span");
    body.className = "qv-assistant-note__text";
    body.textContent = text || "";
    const close = document.createElement("button");
    close.className = "qv-assistant-note__close";
    close.type = "button";
    close.setAttribute("aria-label", "Dismiss");
    close.textContent = "\u00d7";
    close.addEventListener("click", hideNote);
    note.append(heading, body, close);
    (document.body || document.documentElement).append(note);
    noteTimer = setTimeout(hideNote, noteDuration);
  }

  function hideNote() {
    clearTimeout(noteTimer);
    if (note) note.remove();
    note = null;
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
      echo: (text) => toBackground({ type: "echo", text: String(text) }),
    }),
  });

  register();
  window.addEventListener("pagehide", () => send("unregisterPage", {}));
  // A page restored from the back-forward cache was unregistered when it was hidden.
  window.addEventListener("pageshow", (event) => {
    if (event.persisted) register();
  });
})();
