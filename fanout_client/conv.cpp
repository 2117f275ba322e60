// Arrives with its module.
