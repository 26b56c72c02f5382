"""The exception for errors the module itself raises."""


class ModuleError(RuntimeError):
    """The module refused a call: `identifier` is its message identifier (such as
    "quarn:tsnevek:BadRowIndex") and `text` the host's text for it."""

    def __init__(self, identifier, text):
        super().__init__(f"{identifier}: {text}")
        self.identifier = identifier
        self.text = text
