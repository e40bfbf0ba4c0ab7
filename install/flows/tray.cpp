// The tray companion: registering, starting and stopping it.
