// The reinstall and uninstall sequences.
