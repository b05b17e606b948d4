"""The served application that the Lumivane tray launcher starts.

It serves Lumivane's pages on the loopback interface, signs the browser in with
a one-time token that it leaves in a hand-off file for the launcher, and keeps
no state between runs. Standard library only, so the bundled interpreter needs
nothing installed.
"""
