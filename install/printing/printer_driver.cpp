// The printer driver "Zentavo printer": staging its files, adding and removing it.
