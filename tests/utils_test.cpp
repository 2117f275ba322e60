// Placeholder: tests arrive with the module.
