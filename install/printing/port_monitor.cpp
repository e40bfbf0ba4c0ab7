// The port monitor "Zentavo:": registration, removal, and parking printers off its port.
