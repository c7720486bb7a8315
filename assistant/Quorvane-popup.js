// Quorvane settings popup: who is signed in, sign-in and sign-out, a highlight for the
// page in front and a link to the service. Built inside the shell's <div class="popup">.
(() => {
  "use strict";

  const width = 348;
  const minHeight = 200;
  const maxHeight = 467;
  const root = document.querySelector(".popup");
  if (!root) return;

  function post(handler, body) {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers[handler]) handlers[handler].postMessage(body || {});
  }

  function askBackground(message) {
    post("sendToBgFromSettingsPopup", { data: { json: JSON.stringify(message) } });
  }

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // Layout: header with close button, account card, page card, footer link.
  const header = element("header", "qv-header");
  const title = element("h1", "qv-title", "Quorvane");
  const close = element("button", "qv-close", "\u00d7");
  close.type = "button";
  close.title = "Close";
  close.setAttribute("aria-label", "Close");
  close.addEventListener("click", () => post("closePopup", {}));
  header.append(title, close);

  const account = element("section", "qv-card qv-account");
  const accountLabel = element("div", "qv-label", "Account");
  const who = element("div", "qv-who", "Not signed in");
  const email = element("div", "qv-muted");
  const signIn = element("button", "qv-button qv-primary", "Sign in");
  signIn.type = "button";
  signIn.addEventListener("click", () => post("beginOAuth", {}));
  const signOut = element("button", "qv-button qv-secondary", "Sign out");
  signOut.type = "button";
  signOut.hidden = true;
  signOut.addEventListener("click", () => askBackground({ type: "signOut" }));
  account.append(accountLabel, who, email, signIn, signOut);

  const page = element("section", "qv-card qv-page");
  const pageLabel = element("div", "qv-label", "This page");
  const pageInfo = element("div", "qv-muted", "No page yet.");
  const highlight = element("button", "qv-button qv-secondary", "Highlight the main text");
  highlight.type = "button";
  highlight.addEventListener("click", () => askBackground({ type: "highlight" }));
  page.append(pageLabel, pageInfo, highlight);

  const footer = element("footer", "qv-footer");
  const link = element("a", "qv-link", "Open Quorvane");
  link.href = location.origin + "/";
  link.addEventListener("click", (event) => {
    event.preventDefault();
    post("openUrl", { data: { json: link.href } });
  });
  footer.append(link);

  root.replaceChildren(header, account, page, footer);

  function resize() {
    const height = Math.min(maxHeight, Math.max(minHeight, Math.ceil(root.scrollHeight)));
    post("setPopupSize", { data: { width, height } });
  }

  function showUser(user) {
    const signedIn = Boolean(user && !user.anonymous);
    who.textContent = signedIn ? "Signed in as " + (user.name || user.email || user.id) : "Not signed in";
    email.textContent = signedIn && user.email ? user.email : "";
    signIn.hidden = signedIn;
    signOut.hidden = !signedIn;
    resize();
  }

  function showStats(stats) {
    if (!stats || stats.activeWords === null || stats.activeWords === undefined) {
      pageInfo.textContent = "No page yet.";
    } else if (stats.blocked) {
      pageInfo.textContent = "The assistant is off on this site.";
    } else {
      const name = stats.activeTitle ? "\u201c" + stats.activeTitle + "\u201d" : "The page in front";
      pageInfo.textContent = name + " has " + stats.activeWords.toLocaleString("en") + " words.";
    }
    resize();
  }

  const messages = { "qv.user": showUser, "qv.stats": showStats };

  window.settingsPopupExposedApi = {
    appMessageHandler(name, json) {
      const show = messages[name];
      if (!show) return;
      try {
        show(JSON.parse(json));
      } catch (error) {
        console.warn("Quorvane popup: unreadable message", name, error);
      }
    },
  };

  resize();
  post("settingPopupReady", {});
  askBackground({ type: "getUser" });
})();
