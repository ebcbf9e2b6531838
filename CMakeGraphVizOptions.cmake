# The picture of docs/architecture.md: the project's own targets and who links whom, without
# the system libraries (scripts/architecture-graph draws it).
set(GRAPHVIZ_GRAPH_NAME "Marnel")
set(GRAPHVIZ_EXTERNAL_LIBS FALSE)
set(GRAPHVIZ_GENERATE_PER_TARGET FALSE)
set(GRAPHVIZ_GENERATE_DEPENDERS FALSE)
set(GRAPHVIZ_CUSTOM_TARGETS FALSE)
