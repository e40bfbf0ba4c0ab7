// The status probes of the product's other programs.
