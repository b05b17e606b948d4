"""The harness of the end-to-end tests: a private desktop session, the launcher's own
bundle, and the tray, browser, file manager and alerts as a user meets them."""
