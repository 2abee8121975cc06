// Chromium's background service worker: the test's settings, then the agent.
importScripts("config.js", "agent.js");
