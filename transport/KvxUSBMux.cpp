// Placeholder so the core library has a source until the binding lands.
