"""Package marker; the modules are compiled extensions."""
