// Quorvane background page. Knows the open pages, the page in front and the signed-in
// user; talks to native code through the extension's script message handlers and is
// called back through window.exposedApi.
(() => {
  "use strict";

  // In development the service plays every role on the origin this page is loaded from.
  const serviceOrigin = location.origin;
  const initArgs = window.bgInitArgs || {};
  const maxPages = 500;
  const userKey = "qv.user";

  const pages = new Map(); // page id -> {url, title, words}
  let activePageId = null;
  let blockedHosts = new Set();
  let user = loadUser();

  function post(handler, body) {
    const handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers[handler]) handlers[handler].postMessage(body);
  }

  // Every command but "ready" carries a "name"; most use it as the message name.
  function command(handler, name, fields) {
    post(handler, Object.assign({ name }, fields));
  }

  function sendToPage(pageId, name, data) {
    command("sendToContentPage", name, { pageId, data });
  }

  function sendToPopup(name, value) {
    command("sendToSettingsPopup", name, { data: { json: JSON.stringify(value) } });
  }

  function publicUser() {
    if (!user) return null;
    const { id, name, email, anonymous, isTest, containerId } = user;
    return { id, name, email, anonymous, isTest, containerId };
  }

  function loadUser() {
    try {
      const stored = JSON.parse(localStorage.getItem(userKey) || "null");
      return stored && typeof stored.id === "string" ? stored : null;
    } catch (error) {
      return null;
    }
  }

  function saveUser() {
    try {
      if (user) localStorage.setItem(userKey, JSON.stringify(publicUser()));
      else localStorage.removeItem(userKey);
    } catch (error) {
      // Storage is a convenience: the shared store remembers the user for native code.
    }
  }

  function hostOf(url) {
    try {
      return new URL(url).hostname;
    } catch (error) {
      return "";
    }
  }

  function isBlocked(url) {
    return blockedHosts.has(hostOf(url));
  }

  // 950 -> "950", 1234 -> "1.2k", 56789 -> "57k", 1234567 -> "1.2M".
  function compactCount(count) {
    const scaled = (value, unit) =>
      (value < 10 ? (Math.round(value * 10) / 10).toString() : Math.round(value).toString()) + unit;
    if (count < 1000) return String(count);
    if (count < 999500) return scaled(count / 1000, "k");
    return scaled(count / 1e6, "M");
  }

  // Image and text belong to one window's toolbar item, and native code sets them on the
  // window in front: both are set again whenever the page in front changes.
  function updateBadge() {
    const page = activePageId && pages.get(activePageId);
    const text = page && !isBlocked(page.url) ? compactCount(page.words) : "";
    const shown = publicUser();
    command("setBadge", "setBadge", {
      data: { badgeName: shown && !shown.anonymous ? "BadgeSignedIn" : "ToolbarItemIcon" },
    });
    command("setBadgeText", "setBadgeText", { data: { badgeText: text } });
  }

  function stats() {
    const page = activePageId && pages.get(activePageId);
    return {
      pages: pages.size,
      activeTitle: page ? page.title : null,
      activeWords: page ? page.words : null,
      blocked: page ? isBlocked(page.url) : false,
    };
  }

  function announceUser() {
    const shown = publicUser();
    sendToPopup("qv.user", shown);
    command("sendToAllContentPages", "qv.user", {
      data: { name: shown && !shown.anonymous ? shown.name : null },
    });
    updateBadge();
  }

  function remember(pageId, message) {
    pages.delete(pageId); // re-inserted last, so the oldest go first
    pages.set(pageId, {
      url: String(message.url || ""),
      title: String(message.title || ""),
      words: Number.isFinite(message.words) ? Math.max(0, Math.floor(message.words)) : 0,
    });
    while (pages.size > maxPages) pages.delete(pages.keys().next().value);
  }

  function signOut() {
    user = null;
    saveUser();
    command("setUserInfo", "setUserInfo", {});
    announceUser();
  }

  async function exchangeCode(code, codeVerifier) {
    const response = await fetch(serviceOrigin + "/oauth/token", {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ code, codeVerifier }),
      credentials: "include",
    });
    if (!response.ok) throw new Error("The service refused the sign-in (HTTP " + response.status + ")");
    const record = await response.json();
    if (!record || typeof record.id !== "string") throw new Error("The service sent no user");
    return record;
  }

  const contentRequests = {
    register(pageId, message) {
      remember(pageId, message);
      if (pageId === activePageId) updateBadge();
      if (isBlocked(message.url)) return;
      const shown = publicUser();
      sendToPage(pageId, "qv.hello", {
        text: "This page has " + compactCount(pages.get(pageId).words) + " words.",
        words: pages.get(pageId).words,
        userName: shown && !shown.anonymous ? shown.name : null,
      });
    },
    echo(pageId, message) {
      sendToPage(pageId, "qv.echo", { text: String(message.text || "") });
    },
  };

  const popupRequests = {
    getUser() {
      sendToPopup("qv.user", publicUser());
      sendToPopup("qv.stats", stats());
    },
    signOut,
    highlight() {
      command("sendToActiveTab", "qv.highlight", { data: { text: "Here is the heart of this page." } });
    },
  };

  window.exposedApi = {
    appMessage(message) {
      if (!message || typeof message.type !== "string") return;
      if (typeof message.pageId === "string") {
        const handler = contentRequests[message.type];
        if (handler) handler(message.pageId, message);
      } else {
        const handler = popupRequests[message.type];
        if (handler) handler(message);
      }
    },

    activeTabChanged(args) {
      const top = args && args.activeTabTopPage;
      if (!top || typeof top.id !== "string") return;
      activePageId = top.id;
      const page = pages.get(top.id);
      if (page) page.url = String(top.url || page.url);
      updateBadge();
      sendToPopup("qv.stats", stats());
    },

    async oauthExchange(args) {
      const code = args && args.code;
      const codeVerifier = args && args.codeVerifier;
      try {
        if (typeof code !== "string" || typeof codeVerifier !== "string") {
          throw new Error("The sign-in answer was incomplete");
        }
        const record = await exchangeCode(code, codeVerifier);
        const containerId = record.containerId || initArgs.companionContainerId || "";
        user = Object.assign({}, record, { containerId });
        saveUser();
        command("setUserInfo", "setUserInfo", {
          data: {
            userId: record.id,
            isTestUser: record.isTest === true,
            isAnonymous: record.anonymous === true,
            containerId,
          },
        });
        command("oauthComplete", "oauthComplete", {});
        announceUser();
      } catch (error) {
        command("oauthComplete", "oauthComplete", { data: { error: String(error.message || error) } });
      }
    },

    receiveBlacklistConfig(config) {
      const hosts = config && Array.isArray(config.blockedHosts) ? config.blockedHosts : [];
      blockedHosts = new Set(hosts.filter((host) => typeof host === "string"));
      updateBadge();
    },
  };

  post("ready", {});
  command("fetchBlacklistConfig", "fetchBlacklistConfig", {
    data: { json: serviceOrigin + "/config/blacklist.json" },
  });
})();
