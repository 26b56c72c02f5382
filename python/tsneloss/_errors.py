"""The exception for errors the module itself raises."""


class ModuleError(RuntimeError):
    """The module refused a call: `identifier` is its message identifier (such as
    "quarn:tsnevek:BadRowIndex") and `text` the host's text for it."""

    def __init__(self, identifier, text):
        # Both in args, so that copies and pickles rebuild it.
        super().__init__(identifier, text)
        self.identifier = identifier
        self.text = text

    def __str__(self):
        return f"{self.identifier}: {self.text}"
