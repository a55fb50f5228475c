// Units of the framework library are added as they are built.
