"""The exception for errors the module itself raises, and the warning for what
tsneloss notes."""


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


class TsnelossWarning(UserWarning):
    """What the tsneloss program notes on standard error: merged positions of P, a P
    that does not add up to 1, a single-precision loss far from the double one, how
    the perplexity search went for P from the data."""
