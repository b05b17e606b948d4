"""The benchmark's parts: what /proc says about a process, a private desktop session with
bundles of the launcher's own, and the figures measured in it."""
