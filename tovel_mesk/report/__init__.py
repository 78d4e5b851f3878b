"""What a search leaves behind: the output tables and files, and the HTML report."""
