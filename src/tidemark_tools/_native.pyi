# Private native module of tidemark_tools; its functions are wrapped by the
# package's Python layer and are not a public interface.
